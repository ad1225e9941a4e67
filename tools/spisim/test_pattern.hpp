#pragma once
// Real H.264 video for the simulated board, made with ffmpeg and judged with ffprobe: a moving
// test pattern with a running clock (ffmpeg's testsrc2), parameter sets before every keyframe and
// a keyframe every second, so that a viewer can join anywhere. Files are made once and kept in a
// cache directory under a name that holds every setting.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct test_pattern {
    unsigned width = 640;
    unsigned height = 480;
    unsigned frames_per_second = 30;
    unsigned frames = 240;
    unsigned bits_per_second = 2000000;
    // Moving noise over the pattern (ffmpeg's noise strength, 0 to 100; 0 for none): a busy
    // scene. The plain pattern is so easy to code that at 1080p x264 stops near 29 Mbit/s
    // whatever it is given; with grain it spends the rate it is given, held to it by the rate
    // cap. Grainy clips use x264's veryfast preset, so that a ladder of them is made in minutes.
    unsigned grain = 0;
    std::string file_name() const;
};

// The pattern's file in cache_dir, made there first when missing (written aside and renamed, so
// programs that ask at once never see half a file). Empty, with `error` set, when ffmpeg fails
// or is missing.
std::string make_test_pattern(const std::string& cache_dir, const test_pattern& pattern,
                              std::string& error);

// The video frames ffprobe decodes in an H.264 elementary stream file; nothing (and `error`)
// when ffprobe fails or is missing.
std::optional<unsigned> count_decoded_frames(const std::string& path, std::string& error);

// A whole file's bytes; false (with `error`) when it cannot be read.
bool read_whole_file(const std::string& path, std::vector<uint8_t>& bytes, std::string& error);
