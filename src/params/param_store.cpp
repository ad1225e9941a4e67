// Reading the stored parameter text and the version text, start-up initialisation, and the
// config_write keyword that writes current_param back to the boot environment.
#include "param_store.hpp"
#include "log.hpp"
#include "mutex_hold.hpp"

#include <cstring>

namespace {

// The command ran and printed nothing: on a newly flashed board, no record stored yet.
constexpr int value_missing = -2;

// What start-up prints when nothing is stored: the command that stores a record, with the form
// and limits of its fields, and how to check it.
constexpr char provision_hint[] =
    "Provision the board once: fw_setenv vemuparam 'name:<letters, digits, _ . -> "
    "pmk:<32 characters or nothing> password:<8 to 63 characters or nothing> "
    "hostname:<letters, digits, ->.local', then check it with fw_printenv -n vemuparam";

// One captured command under iwset_mutex; tag names the caller in its lock messages. 0, -1, or
// value_missing.
int read_one_value(keyword_dispatch_table& keywords, const char* command, const char* tag,
                   char* buf, size_t size) {
    if (buf == nullptr || size == 0) return -1;
    mutex_hold hold(keywords.nan().iwset_mutex);
    if (hold.lock_error() != 0) {
        log_out("%s Error: Failed to lock iwset_mutex!\n", tag);
        return -1;
    }
    memset(buf, 0, size);
    if (keywords.runner().capture(command, buf, size) != 0) {
        log_puts("Failed to execute command!");
        return -1;
    }
    log_puts("Command executed successfully!");
    if (buf[0] == '\0') {
        log_puts("No parambuf found (command returned empty)!");
        return value_missing;
    }
    log_out("Extracted the parambuf=%s\n", buf);
    return 0;
}

// Appends to a command without ever cutting it: once something does not fit, the whole
// command is refused.
class command_writer {
public:
    command_writer(char* out, size_t size) : out_(out), size_(size) {}

    void put(char c) {
        if (used_ + 1 >= size_) {
            fits_ = false;
            return;
        }
        out_[used_++] = c;
    }
    void put_text(const char* text) {
        while (*text != '\0') put(*text++);
    }
    bool fits() const { return fits_; }
    void finish() { out_[fits_ ? used_ : 0] = '\0'; }

private:
    char* out_;
    size_t size_;
    size_t used_ = 0;
    bool fits_ = true;
};

// Writes one value for use between double quotes, where \, ", $ and ` must each carry a
// backslash to stand for themselves. A record from an AT command already holds \" and \\ pairs;
// a lone quote or backslash in it means it is not in that form: refuse it rather than let it
// end the quoting. A record read from the boot environment holds the plain values.
bool put_quoted_value(command_writer& writer, const char* value, bool escaped) {
    for (const char* p = value; *p != '\0'; ++p) {
        if (escaped && *p == '\\') {
            if (p[1] != '\\' && p[1] != '"') return false;
            writer.put(*p++);
            writer.put(*p);
        } else if (escaped && *p == '"') {
            return false;
        } else {
            if (*p == '$' || *p == '`' || *p == '"' || *p == '\\') writer.put('\\');
            writer.put(*p);
        }
    }
    return true;
}

// The stored text into current_param; nothing_stored (when given) tells a board that has no
// record from any other failure.
int load_current_param(param_state& params, keyword_dispatch_table& keywords,
                       bool* nothing_stored) {
    char text[param_text_size] = {};
    int read = read_one_value(keywords, vemuparam_command, "[get_vemuparam]", text, sizeof(text));
    if (nothing_stored != nullptr) *nothing_stored = read == value_missing;
    if (read != 0) {
        log_puts("Failed to get parameter!");
        return -1;
    }
    if (parse_param(text, &params.current_param, false) != param_ok) {
        log_puts("Failed to parse parameter!");
        return -1;
    }
    params.current_param_escaped = false;
    return 0;
}

}  // namespace

int get_zqversion(keyword_dispatch_table& keywords, char* buf, size_t size) {
    return read_one_value(keywords, zqversion_command, "[get_zqversion]", buf, size) == 0 ? 0 : -1;
}

int reload_current_param(param_state& params, keyword_dispatch_table& keywords) {
    return load_current_param(params, keywords, nullptr);
}

int init_param(param_state& params, keyword_dispatch_table& keywords) {
    mutex_hold hold(params.param_mutex);
    bool nothing_stored = false;
    int result = load_current_param(params, keywords, &nothing_stored);
    if (nothing_stored) log_puts(provision_hint);
    if (result == 0) {
        const param_record& stored = params.current_param;
        log_out("Parse entire parameter=" PARAM_TEXT_FORMAT "\n", stored.name, stored.pmk,
                stored.password, stored.hostname);
        log_puts("Parameter initialization successful.");
    }
    return result;
}

int build_config_write_command(const param_record& record, bool escaped, char* command, size_t size) {
    if (command == nullptr || size == 0) return config_command_too_long;
    const char* labels[param_item_count] = {"name:", " pmk:", " password:", " hostname:"};
    const char* values[param_item_count] = {record.name, record.pmk, record.password, record.hostname};

    command_writer writer(command, size);
    writer.put_text("fw_setenv vemuparam \"");
    for (size_t i = 0; i < param_item_count; ++i) {
        writer.put_text(labels[i]);
        if (!put_quoted_value(writer, values[i], escaped)) {
            command[0] = '\0';
            return config_command_unescaped;
        }
    }
    writer.put('"');
    writer.finish();
    return writer.fits() ? 0 : config_command_too_long;
}

int config_write_keyword::collect(const char* /*params*/, command_batch& batch, int* count) {
    log_out("\n=== Executing config write custom logic ===\n");
    char command[config_write_command_size];
    int rc = build_config_write_command(params_.current_param, params_.current_param_escaped,
                                        command, sizeof(command));
    if (rc == config_command_too_long) {
        log_out("Error: config_write command exceeds %zu characters, record not written!\n",
               config_write_command_size - 1);
    } else if (rc == config_command_unescaped) {
        log_puts("Error: config_write record holds an unescaped quote or backslash, record not written!");
    }
    if (rc != 0) {
        log_puts("=== config write custom logic execution failed ===");
        return -1;
    }
    log_out("config_write:%s\n", command);
    add_command(batch, count, command);
    log_puts("=== config write custom logic execution completed ===");
    return 0;
}
