// Brings NAN up once at start-up. Every step goes through the keyword dispatcher except the two
// `iw dev` queries, which hold iwset_mutex only around their own command so that an AT command
// or a data-path response can run between two steps.
#include "nan_bringup.hpp"

#include <cstdio>
#include <cstring>

#include "keyword.hpp"
#include "mutex_hold.hpp"
#include "nan_event.hpp"
#include "param_record.hpp"
#include "log.hpp"

namespace {

constexpr size_t bringup_text_size = 300;
constexpr char start_parameters[] = "pref 128 bands 2GHz 5GHz";

constexpr char phy_query[] = "iw dev | grep phy# | awk '{print substr($1,5)}'";
// The wdev of the NAN interface in the block of the phy bring-up chose, the first listed (another
// Wi-Fi chip may carry one of its own): its "wdev" line comes before its "type" line. One awk
// program, because `grep "type NAN" -B 3` works only where the C library moves options after
// operands forward (glibc does, musl under BusyBox does not, and -B and 3 become file names) and
// only where BusyBox's grep was built with context lines at all. The type is compared as a whole
// field: "type NAN" inside another line (a station's SSID) names no interface.
constexpr char wdev_query[] =
    "iw dev | awk '/^phy#/ {phys++; wdev = \"\"} "
    "$1 == \"Interface\" || $1 ~ /^Unnamed/ {wdev = \"\"} "
    "$1 == \"wdev\" {wdev = $2} "
    "phys == 1 && NF == 2 && $1 == \"type\" && $2 == \"NAN\" && wdev != \"\" {print wdev}'";
constexpr size_t delete_command_size = 64;
// The wdev is checked to fit nan_wdev_size first; the precision tells the compiler so too.
constexpr char leftover_delete_format[] = "iw wdev %.*s del";

struct interface_query {
    const char* tag;  // "[get_phy]" / "[get_wdev]"
    const char* command;
    const char* output_line;  // "Phy number output: [%s]\n"
    const char* empty_line;
    const char* found_line;
    const char* failure_line;
};

constexpr interface_query phy_lookup{"[get_phy]",
                                     phy_query,
                                     "Phy number output: [%s]\n",
                                     "No phy number found (command returned empty)!",
                                     "Extracted phy number: %s\n",
                                     "Failed to get phy!"};
constexpr interface_query wdev_lookup{"[get_wdev]",
                                      wdev_query,
                                      "wdev index output: [%s]\n",
                                      "No wdev index found (command returned empty)!",
                                      "Extracted wdev index: %s\n",
                                      "Failed to get wdev!"};

// The whole answer of a query; only its first line (the first device listed) is used, and it
// is only taken when it arrived whole.
constexpr size_t query_output_size = 256;

// Cuts the output to its first line. False when that line may have been cut by the capture
// limit: the output filled the buffer and no line end follows the line.
bool take_first_line(char* output, size_t size) {
    size_t length = strcspn(output, "\n");
    bool ended = output[length] == '\n';
    output[length] = '\0';
    return ended || length < size - 1;
}

// Stores the first line of the query's output as its answer, or refuses it with a line when it
// is longer than the answer buffer (of size bytes) holds: a cut phy or wdev names another device.
bool store_answer(const interface_query& q, char* output, char* answer, size_t size) {
    bool whole = take_first_line(output, query_output_size);
    log_out(q.output_line, output);
    if (!whole || strlen(output) >= size) {
        log_out("%s Error: Answer longer than %zu characters, refused!\n", q.tag, size - 1);
        return false;
    }
    memcpy(answer, output, strlen(output) + 1);
    if (answer[0] == '\0') {
        log_puts(q.empty_line);
        return false;
    }
    log_out(q.found_line, answer);
    return true;
}

// Runs one `iw dev` query under iwset_mutex into its answer buffer of the interface state.
int run_interface_query(keyword_dispatch_table& keywords, const interface_query& q, char* answer,
                        size_t size) {
    bool found = false;
    {
        mutex_hold hold(keywords.nan().iwset_mutex);
        if (hold.lock_error() != 0) {
            log_out("%s Error: Failed to lock iwset_mutex!\n", q.tag);
            log_puts(q.failure_line);
            return -1;
        }
        memset(answer, 0, size);
        char output[query_output_size] = {};
        if (keywords.runner().capture(q.command, output, sizeof output) != 0) {
            log_puts("Failed to execute command!");
        } else {
            log_puts("Command executed successfully!");
            found = store_answer(q, output, answer, size);
        }
    }
    if (!found) {
        log_puts(q.failure_line);
        return -1;
    }
    return 0;
}

// The data-path security the service offers: the password wins over the PMK.
void format_security_line(const param_record& values, char* text, size_t size) {
    if (values.password[0] != '\0')
        snprintf(text, size, "data_path sec_password %s", values.password);
    else if (values.pmk[0] != '\0')
        snprintf(text, size, "data_path sec_pmk %s", values.pmk);
    else
        snprintf(text, size, "data_path");
}

bool dispatch(keyword_dispatch_table& keywords, const char* keyword, const char* params,
              const char* failure_line) {
    if (keywords.execute(keyword, params) == 0) return true;
    log_puts(failure_line);
    return false;
}

// A NAN interface on the chosen phy before this run made one was left by a daemon that ended
// without its cleanup (killed, crashed): the driver refuses a second one, so it goes first. It is
// nobody else's, as start-up holds the single-instance lock. Silent when there is none, and a
// failed delete only says so: adding the interface then fails with its own lines.
void delete_leftover_interface(keyword_dispatch_table& keywords) {
    char output[query_output_size] = {};
    mutex_hold hold(keywords.nan().iwset_mutex);
    if (keywords.runner().capture(wdev_query, output, sizeof output) != 0) return;
    // Nothing, or nothing iw would print as a wdev.
    if (!take_first_line(output, sizeof output) || output[0] == '\0' ||
        strlen(output) >= nan_wdev_size)
        return;
    log_out("Deleting the NAN interface (wdev %s) left by an earlier run.\n", output);
    char command[delete_command_size];
    snprintf(command, sizeof command, leftover_delete_format, static_cast<int>(nan_wdev_size - 1),
             output);
    const int status = keywords.runner().status(command);
    if (status != 0) log_out("Error: Failed to delete it (status %d)!\n", status);
}

}  // namespace

int get_phy(keyword_dispatch_table& keywords) {
    return run_interface_query(keywords, phy_lookup, keywords.nan().phy, nan_phy_size);
}

int get_wdev(keyword_dispatch_table& keywords) {
    return run_interface_query(keywords, wdev_lookup, keywords.nan().wdev, nan_wdev_size);
}

int bring_up_nan_interface(keyword_dispatch_table& keywords, param_state& params) {
    char text[bringup_text_size] = {};
    // Bring-up reads the parameters as plain values, copied under param_mutex because the TCP
    // server already runs and an AT config may rewrite the record at any moment.
    param_record values;
    copy_current_param_plain(params, &values);

    if (get_phy(keywords) != 0) return -1;
    delete_leftover_interface(keywords);
    if (!dispatch(keywords, "init", keywords.nan().phy, "Failed to init NAN!")) return -1;
    if (get_wdev(keywords) != 0) return -1;
    if (!dispatch(keywords, "start", start_parameters, "Failed to start NAN!")) return -1;

    format_security_line(values, text, sizeof text);
    if (!dispatch(keywords, "srvc_ext", text, "Failed to srvc_ext NAN!")) return -1;

    snprintf(text, sizeof text, "type publish unsolicited name %s", values.name);
    if (!dispatch(keywords, "add_func", text, "Failed to add_func NAN!")) return -1;
    return 0;
}

int nan_bringup(nan_events& events, keyword_dispatch_table& keywords, param_state& params) {
    // The listener must already read `iw event` when the driver's first NAN events come.
    if (nan_event_init(events) != 0) {
        log_puts("Failed to init nanevent!");
        return -1;
    }
    return bring_up_nan_interface(keywords, params);
}
