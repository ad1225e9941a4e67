// The one process-wide parameter record and the mutex that keeps the TCP server's AT commands
// and start-up's initialisation from writing it at the same time.
#include "param_record.hpp"

param_record current_param{};
pthread_mutex_t param_mutex = PTHREAD_MUTEX_INITIALIZER;
