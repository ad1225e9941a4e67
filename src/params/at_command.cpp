// The AT command handler: recognises one command in a received chunk, carries it out on the
// AT worker thread and sends exactly one reply, success or error.
#include "at_command.hpp"

#include <cstdio>
#include <cstring>

#include "keyword.hpp"
#include "param_record.hpp"
#include "param_store.hpp"
#include "log.hpp"
#include "mutex_hold.hpp"

namespace {

struct error_reply {
    int code;
    const char* text;
};

const error_reply error_replies[] = {
    {param_invalid_format, "ERROR: Invalid input format\r\n"},
    {param_missing_field, "ERROR: Missing required field\r\n"},
    {param_bad_pmk, "ERROR: Invalid PMK length (must be 32 characters)\r\n"},
    {param_bad_password, "ERROR: Invalid password length (8-63 ASCII)\r\n"},
    {param_bad_hostname,
     "ERROR: Invalid hostname format or empty, hostname format (a-z/A-Z/0-9/-, no leading/trailing -, "
     "ends with .local)\r\n"},
    {param_overflow, "ERROR: Buffer overflow\r\n"},
    {param_bad_name, "ERROR: Invalid name characters or empty\r\n"},
    {at_command_failed, "ERROR: Command execution failed\r\n"},
};

enum class at_word { none, config, reset, updatefw, version, status };

struct word_entry {
    const char* text;
    at_word word;
};

// Tried in this order; a word matches as a prefix, whatever follows it.
const word_entry at_words[] = {
    {"config", at_word::config},
    {"reset", at_word::reset},
    {"updatefw", at_word::updatefw},
    {"version", at_word::version},
    {"status", at_word::status},
};

bool at_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// word is lower case.
bool starts_with_nocase(const char* text, const char* word) {
    for (; *word != '\0'; ++text, ++word) {
        if (ascii_lower(*text) != *word) return false;
    }
    return true;
}

const char* skip_space(const char* p) {
    while (at_space(*p)) ++p;
    return p;
}

// A reply that fails is reported by the reply handle; the command has nothing more to do.
int reply_ok(at_reply& reply) {
    reply.send(at_ok_reply);
    return 0;
}

int reply_error(at_reply& reply, int code) {
    reply.send(at_error_reply(code));
    return code;
}

at_word match_word(const char* text, const char** argument) {
    for (const word_entry& entry : at_words) {
        if (starts_with_nocase(text, entry.text)) {
            *argument = skip_space(text + strlen(entry.text));
            return entry.word;
        }
    }
    return at_word::none;
}

// Room for every field at its full size, so a reply is never cut (a validated record gives at
// most 642 characters).
constexpr size_t query_reply_size = sizeof(param_record) + sizeof(AT_QUERY_REPLY_FORMAT);

// Reads the record back from the boot environment, so the reply shows what is really stored.
// Replies itself on success; 0 or -9.
int configuration_query(param_state& params, keyword_dispatch_table& keywords, at_reply& out) {
    char reply[query_reply_size];
    {
        mutex_hold hold(params.param_mutex);
        if (reload_current_param(params, keywords) != 0) return at_command_failed;
        const param_record& stored = params.current_param;
        snprintf(reply, sizeof(reply), AT_QUERY_REPLY_FORMAT, stored.name, stored.pmk,
                 stored.password, stored.hostname);
    }
    // A client that reads its configuration is setting the device up: video stops for good.
    out.suspend_video();
    out.send(reply);
    return 0;
}

// Replies itself on success; 0 or -9.
int version_query(param_state& params, keyword_dispatch_table& keywords, at_reply& out) {
    char version[version_text_size];
    char reply[version_text_size + sizeof("\r\nOK\r\n") - 1];
    log_puts("Executing version command");
    {
        mutex_hold hold(params.param_mutex);
        if (get_zqversion(keywords, version, sizeof(version)) != 0) {
            log_puts("Failed to get parameter!");
            return at_command_failed;
        }
    }
    snprintf(reply, sizeof(reply), AT_VERSION_REPLY_FORMAT, version);
    out.send(reply);
    return 0;
}

// Stores the new record under the parameter lock; param_ok or the code to reply with.
int store_config(param_state& params, keyword_dispatch_table& keywords, const char* argument) {
    mutex_hold hold(params.param_mutex);
    const param_record previous = params.current_param;
    const bool previous_escaped = params.current_param_escaped;
    int rc = parse_param(argument, &params.current_param, true);
    if (rc != param_ok) return rc;
    params.current_param_escaped = true;
    if (keywords.execute("config_write", "") != 0) {
        log_puts("Command execution failed.");
        // The boot environment still holds the previous record; so must memory, or a NAN
        // bring-up that has not copied it yet would publish values that were never stored.
        params.current_param = previous;
        params.current_param_escaped = previous_escaped;
        return at_command_failed;
    }
    return param_ok;
}

// reset and updatefw: the reply goes out only after the command has returned.
int device_command(keyword_dispatch_table& keywords, at_reply& reply, const char* keyword) {
    log_out("Executing %s command\n", keyword);
    if (keywords.execute(keyword, "") != 0) {
        log_puts("Command execution failed.");
        return reply_error(reply, at_command_failed);
    }
    return reply_ok(reply);
}

int run_command(param_state& params, keyword_dispatch_table& keywords, at_reply& reply,
                at_word word, const char* argument) {
    bool has_argument = argument[0] != '\0';
    switch (word) {
    case at_word::config:
        if (has_argument) {
            // The reply goes out after the lock is given up.
            const int rc = store_config(params, keywords, argument);
            return rc == param_ok ? reply_ok(reply) : reply_error(reply, rc);
        }
        if (configuration_query(params, keywords, reply) == 0) return 0;
        return reply_error(reply, at_command_failed);
    case at_word::reset:
    case at_word::updatefw:
        if (has_argument) return reply_error(reply, param_invalid_format);
        return device_command(keywords, reply, word == at_word::reset ? "reset" : "updatefw");
    case at_word::version:
        if (has_argument) return reply_error(reply, param_invalid_format);
        if (version_query(params, keywords, reply) == 0) return 0;
        return reply_error(reply, at_command_failed);
    case at_word::status:
        // The counters, written by the server thread; nothing here touches video or parameters.
        if (has_argument) return reply_error(reply, param_invalid_format);
        reply.send_status();
        return 0;
    case at_word::none:
        break;
    }
    return reply_error(reply, param_invalid_format);
}

// The command word and its argument in data[0..length) (up to an earlier NUL), trimmed into
// text. Returns 0, or the code of the error reply.
int read_command(const char* data, int length, char (&text)[at_chunk_max + 1], at_word* word,
                 const char** argument) {
    if (data == nullptr || length <= 0) return param_invalid_format;

    // The working copy is as large as the server's receive buffer, which never hands over
    // more; a longer text cannot be copied and is refused like a failed allocation.
    size_t text_length = strnlen(data, static_cast<size_t>(length));
    if (text_length > at_chunk_max) return param_overflow;
    memcpy(text, data, text_length);
    text[text_length] = '\0';

    const char* start = skip_space(text);
    if (*start == '\0') return param_invalid_format;
    char* end = text + text_length;
    while (at_space(end[-1])) --end;  // stops at the first non-white character at the latest
    *end = '\0';

    if (static_cast<size_t>(end - start) < at_prefix_length || !starts_with_nocase(start, at_prefix)) {
        return param_invalid_format;
    }
    *word = match_word(skip_space(start + at_prefix_length), argument);
    return 0;
}

}  // namespace

const char* at_error_reply(int code) {
    for (const error_reply& entry : error_replies) {
        if (entry.code == code) return entry.text;
    }
    return error_replies[0].text;
}

int at_commands::handle(at_reply& reply, const char* data, int length) {
    char text[at_chunk_max + 1];
    const char* argument = "";
    at_word word = at_word::none;
    const int error = read_command(data, length, text, &word, &argument);
    if (error != 0) return reply_error(reply, error);
    return run_command(params_, keywords_, reply, word, argument);
}

bool at_commands::asks_status(const char* data, int length) {
    char text[at_chunk_max + 1];
    const char* argument = "";
    at_word word = at_word::none;
    return read_command(data, length, text, &word, &argument) == 0 && word == at_word::status &&
           argument[0] == '\0';
}
