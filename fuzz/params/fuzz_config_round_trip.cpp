// Every configuration that the AT config command answers with OK must load again at the next
// start with the same four values, and the configuration query must return them. The handler
// runs with recorded replies, a scripted runner and recorded pauses; the recorded fw_setenv
// command goes through a model of the shell's double-quote rules (not the daemon's escaper),
// its argument becomes the stored value, and start-up's init_param reads it back.
//
// Input: one flags byte, then up to four values separated by NUL bytes, in the order name, pmk,
// password, hostname. The flags choose the order of the items, the case of the keys, the blanks
// between them, a repeated key and a failing fw_setenv.
#include <pthread.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "at_command.hpp"
#include "param_store.hpp"
#include "params_recorders.hpp"
#include "shell_oracle.hpp"

namespace {

constexpr uint8_t order_mask = 0x1f;     // one of the 24 orders of the four items; above, the
                                         // same orders with a fw_setenv that always fails
constexpr uint8_t upper_keys = 0x20;
constexpr uint8_t double_blanks = 0x40;
constexpr uint8_t repeat_key = 0x80;     // the last item takes the first item's key
constexpr size_t item_count = 4;
constexpr size_t order_count = 24;
const char* const keys[item_count] = {"name", "pmk", "password", "hostname"};
const char previous_text[] = "name:Old pmk: password:oldpass1 hostname:old.local";

params_fixture fixture;
recording_sink sink;

void check(bool ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "fuzz_config_round_trip: %s\n", what);
        abort();
    }
}

bool at_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

std::string lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

// What the values of an argument are, read the simple way: blank-separated items, the key up to
// the first colon. False unless each of the four keys is named exactly once.
bool model_values(const std::string& argument, std::string values[item_count]) {
    bool seen[item_count] = {};
    size_t at = 0;
    while (at < argument.size()) {
        if (argument[at] == ' ') {
            ++at;
            continue;
        }
        size_t end = argument.find(' ', at);
        if (end == std::string::npos) end = argument.size();
        std::string item = argument.substr(at, end - at);
        at = end;
        size_t colon = item.find(':');
        if (colon == std::string::npos) return false;
        std::string key = lower(item.substr(0, colon));
        size_t k = 0;
        while (k < item_count && key != keys[k]) ++k;
        if (k == item_count || seen[k]) return false;
        seen[k] = true;
        values[k] = item.substr(colon + 1);
    }
    return seen[0] && seen[1] && seen[2] && seen[3];
}

// The k-th of the 24 orders of four items.
void order_of(size_t k, size_t order[item_count]) {
    std::vector<size_t> left = {0, 1, 2, 3};
    for (size_t i = 0; i < item_count; ++i) {
        size_t ways = 1;
        for (size_t n = 2; n < item_count - i; ++n) ways *= n;
        size_t pick = k / ways;
        k %= ways;
        order[i] = left[pick];
        left.erase(left.begin() + static_cast<long>(pick));
    }
}

std::string record_text(const std::string values[item_count]) {
    return "name:" + values[0] + " pmk:" + values[1] + " password:" + values[2] + " hostname:" + values[3];
}

std::string run(const std::string& chunk) {
    sink.replies.clear();
    fixture.room.at.handle(sink, chunk.data(), static_cast<int>(chunk.size()));
    check(sink.replies.size() == 1, "not exactly one reply");
    return sink.replies[0].text;
}

void reset_world(bool write_fails) {
    fixture.runner.captured.clear();
    fixture.runner.statuses.clear();
    fixture.runner.answers.clear();
    fixture.runner.status_results.clear();
    if (write_fails) fixture.runner.status_results = {1, 1, 1};
    if (parse_param(previous_text, &fixture.current_param, false) != 0) abort();
    fixture.current_param_escaped = false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (freopen("/dev/null", "w", stdout) == nullptr) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t flags = data[0];
    std::string typed[item_count];
    size_t field = 0;
    for (size_t i = 1; i < size && field < item_count; ++i) {
        if (data[i] == 0) {
            ++field;
            continue;
        }
        typed[field] += static_cast<char>(data[i]);
    }

    size_t order[item_count];
    order_of((flags & order_mask) % order_count, order);
    std::string argument;
    for (size_t i = 0; i < item_count; ++i) {
        size_t k = (i == item_count - 1 && (flags & repeat_key) != 0) ? order[0] : order[i];
        std::string key = keys[k];
        if ((flags & upper_keys) != 0) key = upper(key);
        if (i > 0) argument += (flags & double_blanks) != 0 ? "  " : " ";
        argument += key + ":" + typed[order[i]];
    }
    // The handler drops white space at both ends of the whole text, so the argument it sees
    // ends at its last character that is not white space.
    while (!argument.empty() && at_space(argument.back())) argument.pop_back();
    const bool write_fails = (flags & order_mask) >= order_count;

    reset_world(write_fails);
    const param_record previous = fixture.current_param;
    const std::string reply = run("AT+AB config " + argument + "\r\n");
    if (reply != at_ok_reply) {
        check(memcmp(&fixture.current_param, &previous, sizeof(previous)) == 0 && !fixture.current_param_escaped,
              "a refused configuration changed the record in memory");
        return 0;
    }

    std::string values[item_count];
    check(model_values(argument, values), "accepted a text that does not name each key once");
    check(fixture.runner.statuses.size() == 1, "not exactly one fw_setenv command");
    std::string stored;
    check(shell_double_quoted_argument(fixture.runner.statuses[0].c_str(), stored), "command would expand or break its quoting");
    check(stored == record_text(values), "fw_setenv would store other values than the client sent");

    // The next start: fw_printenv prints the stored value and a line feed.
    fixture.runner.answers[vemuparam_command] = stored + "\n";
    memset(&fixture.current_param, 0, sizeof(fixture.current_param));
    check(init_param(fixture.room.params, fixture.room.keywords) == 0, "an accepted configuration stops the next start");
    check(values[0] == fixture.current_param.name && values[1] == fixture.current_param.pmk &&
              values[2] == fixture.current_param.password && values[3] == fixture.current_param.hostname,
          "start-up loads other values than the client sent");
    check(run("AT+AB config") == stored + "\r\nOK\r\n", "the query does not return the values sent");
    check(pthread_mutex_trylock(&fixture.param_mutex) == 0, "param_mutex left locked");
    pthread_mutex_unlock(&fixture.param_mutex);
    return 0;
}
