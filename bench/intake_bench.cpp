// Intake figures: the frame CRC against the bit-by-bit form and Boost's table-driven CRC, and the
// whole intake path (raw queue, frame checks, ring copy) in frames per second against the 50 MHz
// line rate. With --figures FILE the figures also go to FILE as "key value" lines (rates in MB/s
// and frames/s), for programs that gather them (bench_table).
#include <benchmark/benchmark.h>

#include <boost/crc.hpp>
#include <cstdio>
#include <iostream>
#include <map>
#include <atomic>
#include <memory>
#include <random>
#include <cstring>
#include <string>
#include <vector>

#include "le_bytes.hpp"
#include "frame_format.hpp"
#include "frame_processor.hpp"
#include "raw_queue.hpp"
#include "video_ring.hpp"

namespace {

// 4110-byte transfers at 50 MHz: the fastest the bus delivers them.
constexpr double line_rate_transfers_per_second = 1520.0;
constexpr double crc_target_vs_bitwise = 15.0;
constexpr double crc_target_vs_boost = 5.0;
constexpr double intake_target_vs_line_rate = 50.0;

// The reference: the CRC exactly as the frame format defines it, one bit at a time.
uint16_t crc16_bitwise(uint16_t crc, const uint8_t* data, size_t length) {
    while (length-- > 0) {
        crc ^= *data++;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

const std::vector<uint8_t>& frame_bytes() {
    static std::vector<uint8_t> data = [] {
        std::vector<uint8_t> d(frame_header_size + frame_max_payload);
        std::mt19937 random(1);
        for (uint8_t& b : d) b = static_cast<uint8_t>(random());
        return d;
    }();
    return data;
}

void BM_crc16_frame(benchmark::State& state) {
    const auto& d = frame_bytes();
    for (auto _ : state) benchmark::DoNotOptimize(crc16_frame(0xFFFF, d.data(), d.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.size()));
}
BENCHMARK(BM_crc16_frame);

void BM_crc16_bitwise(benchmark::State& state) {
    const auto& d = frame_bytes();
    for (auto _ : state) benchmark::DoNotOptimize(crc16_bitwise(0xFFFF, d.data(), d.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.size()));
}
BENCHMARK(BM_crc16_bitwise);

void BM_crc16_boost(benchmark::State& state) {
    const auto& d = frame_bytes();
    for (auto _ : state) {
        boost::crc_optimal<16, 0x1021, 0xFFFF, 0, true, true> crc;
        crc.process_bytes(d.data(), d.size());
        benchmark::DoNotOptimize(crc.checksum());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.size()));
}
BENCHMARK(BM_crc16_boost);

// One full-size good frame per transfer, through queue, checks and ring, as the two SPI threads
// do it (here on one thread, so the figure is the work per frame, not a thread hand-off). The
// frames are built beforehand so that the timed loop holds only the intake work.
void BM_intake(benchmark::State& state) {
    constexpr int distinct = 256;
    std::vector<std::vector<uint8_t>> blocks(distinct, std::vector<uint8_t>(spi_transfer_size));
    std::mt19937 random(2);
    for (int n = 0; n < distinct; ++n) {
        auto& block = blocks[n];
        put_le16(&block[0], frame_sync_word);
        put_le32(&block[frame_length_offset], frame_max_payload);
        block[frame_sequence_offset] = static_cast<uint8_t>(n);
        for (size_t i = frame_header_size; i < frame_header_size + frame_max_payload; ++i)
            block[i] = static_cast<uint8_t>(random());
        put_le16(&block[frame_header_size + frame_max_payload],
                 crc16_bitwise(0xFFFF, block.data(), frame_header_size + frame_max_payload));
    }
    auto queue = std::make_unique<raw_frame_queue>();
    auto ring = std::make_unique<frame_ring>();
    frame_counters counts;
    event_counter drops;
    std::atomic<int32_t> clients{0};
    frame_processor processor(*ring, counts, clients);
    size_t n = 0;
    for (auto _ : state) {
        queue->push(blocks[n++ % distinct].data(), spi_transfer_size, drops);
        const raw_slot& slot = queue->pop();
        processor.process(slot.data, slot.length);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_intake);

class collecting_reporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            auto bytes = run.counters.find("bytes_per_second");
            auto items = run.counters.find("items_per_second");
            if (bytes != run.counters.end()) rate[run.benchmark_name()] = bytes->second;
            if (items != run.counters.end()) rate[run.benchmark_name()] = items->second;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> rate;
};

// Takes "--figures FILE" out of the arguments that Google Benchmark left; returns FILE or "".
std::string take_figures_option(int* argc, char** argv) {
    std::string path;
    int kept = 1;
    for (int i = 1; i < *argc; ++i) {
        if (strcmp(argv[i], "--figures") == 0 && i + 1 < *argc) {
            path = argv[++i];
        } else {
            argv[kept++] = argv[i];
        }
    }
    *argc = kept;
    return path;
}

void write_figures(const std::string& path, double crc, double bitwise, double boost, double intake) {
    FILE* file = fopen(path.c_str(), "we");
    if (file == nullptr) {
        perror(path.c_str());
        return;
    }
    fprintf(file, "crc_mb_per_s %.6g\n", crc / 1e6);
    fprintf(file, "crc_bitwise_mb_per_s %.6g\n", bitwise / 1e6);
    fprintf(file, "crc_boost_mb_per_s %.6g\n", boost / 1e6);
    fprintf(file, "intake_frames_per_s %.6g\n", intake);
    fprintf(file, "line_rate_transfers_per_s %.6g\n", line_rate_transfers_per_second);
    fclose(file);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const std::string figures = take_figures_option(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    // The processor's progress lines would interleave with the table.
    if (freopen("/dev/null", "w", stdout) == nullptr) return 1;
    collecting_reporter reporter;
    reporter.SetOutputStream(&std::cerr);
    reporter.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    double crc = reporter.rate["BM_crc16_frame"];
    double bitwise = reporter.rate["BM_crc16_bitwise"];
    double boost = reporter.rate["BM_crc16_boost"];
    double intake = reporter.rate["BM_intake"];
    if (crc == 0 || bitwise == 0 || boost == 0 || intake == 0) return 0;  // filtered run
    if (!figures.empty()) write_figures(figures, crc, bitwise, boost, intake);

    fprintf(stderr, "\n%-34s %14s %14s %8s %8s\n", "figure", "measured", "reference", "ratio", "target");
    fprintf(stderr, "%-34s %11.0f MB/s %11.0f MB/s %7.1fx %7.0fx\n", "crc16_frame vs bit-by-bit",
            crc / 1e6, bitwise / 1e6, crc / bitwise, crc_target_vs_bitwise);
    fprintf(stderr, "%-34s %11.0f MB/s %11.0f MB/s %7.1fx %7.0fx\n", "crc16_frame vs Boost crc_optimal",
            crc / 1e6, boost / 1e6, crc / boost, crc_target_vs_boost);
    fprintf(stderr, "%-34s %9.0f frames/s %7.0f frames/s %7.1fx %7.0fx\n", "intake path vs 50 MHz line rate",
            intake, line_rate_transfers_per_second, intake / line_rate_transfers_per_second,
            intake_target_vs_line_rate);
    return 0;
}
