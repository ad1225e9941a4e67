// The plain copy of the parameter record, for readers that must not see an AT config's escapes.
#include "param_record.hpp"

#include <cstring>

#include "mutex_hold.hpp"

namespace {

// Undoes escape_copy: a backslash always starts a pair, whose second character is kept.
void unescape_field(char* field, size_t size) {
    size_t out = 0;
    for (size_t in = 0; in < size && field[in] != '\0'; ++in) {
        if (field[in] == '\\' && in + 1 < size && field[in + 1] != '\0') ++in;
        field[out++] = field[in];
    }
    memset(field + out, 0, size - out);
}

}  // namespace

void copy_current_param_plain(param_state& params, param_record* out) {
    bool escaped = false;
    {
        mutex_hold hold(params.param_mutex);
        *out = params.current_param;
        escaped = params.current_param_escaped;
    }
    if (!escaped) return;
    unescape_field(out->name, sizeof out->name);
    unescape_field(out->pmk, sizeof out->pmk);
    unescape_field(out->password, sizeof out->password);
    unescape_field(out->hostname, sizeof out->hostname);
}
