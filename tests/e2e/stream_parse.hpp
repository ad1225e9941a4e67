#pragma once
// A client's bytes taken apart as what the daemon promises: whole payloads of a plan, in rising
// frame order (a slow client may miss frames), with whole replies only between them.
#include <cstring>
#include <string>
#include <vector>

#include "le_bytes.hpp"
#include "video_frame.hpp"

struct parsed_stream {
    std::vector<uint32_t> frames;       // frame numbers, in the order received
    std::vector<size_t> replies_after;  // per reply: how many payloads came before it
    std::string problem;                // "" when every byte was a payload or a reply
};

// The bytes from `at` are the whole payload of a frame later than `after`: its number, else -1.
inline long whole_payload_at(const std::string& data, size_t at, const payload_plan& plan,
                             long after) {
    if (data.size() - at < payload_marker_size ||
        memcmp(data.data() + at, payload_magic, sizeof(payload_magic)) != 0)
        return -1;
    const uint32_t frame =
        get_le32(reinterpret_cast<const uint8_t*>(data.data()) + at + sizeof(payload_magic));
    if (static_cast<long>(frame) <= after) return -1;
    const std::vector<uint8_t> payload = plan.payload(frame);
    if (payload.size() < payload_marker_size || data.size() - at < payload.size() ||
        memcmp(data.data() + at, payload.data(), payload.size()) != 0)
        return -1;
    return static_cast<long>(frame);
}

// `data` must start at a payload or a reply and may end inside one (reading went on).
inline parsed_stream parse_stream(const std::string& data, const payload_plan& plan,
                                  const std::string& reply) {
    parsed_stream parsed;
    long last = -1;
    size_t at = 0;
    while (at < data.size()) {
        const long frame = whole_payload_at(data, at, plan, last);
        if (frame >= 0) {
            parsed.frames.push_back(static_cast<uint32_t>(frame));
            last = frame;
            at += plan.length_of(static_cast<uint32_t>(frame));
        } else if (!reply.empty() && data.compare(at, reply.size(), reply) == 0) {
            parsed.replies_after.push_back(parsed.frames.size());
            at += reply.size();
        } else if (data.size() - at < 4096 + payload_marker_size) {
            break;  // the start of what was still arriving
        } else {
            parsed.problem = "byte " + std::to_string(at) + " of " + std::to_string(data.size()) +
                             " starts neither a whole payload nor the reply, after " +
                             std::to_string(parsed.frames.size()) + " payloads";
            break;
        }
    }
    return parsed;
}
