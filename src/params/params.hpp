#pragma once
// Everything the rest of the daemon uses from the parameter room: the record and its mutex,
// start-up initialisation, the config_write keyword and the AT command handler.
#include "at_command.hpp"
#include "param_record.hpp"
#include "param_store.hpp"
