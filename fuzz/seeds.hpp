// The layout of the fuzzer's inputs, shared by the fuzzer, the seed generator and the
// digest driver: two bytes, big-endian, whose value modulo 8193 is the bit rate in kbps
// (0 to 8192, the range the command line admits), then the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

constexpr std::size_t seed_prefix_size = 2;

inline std::int32_t seed_bitrate_kbps(const std::uint8_t* seed) {
    constexpr std::uint32_t bitrate_choices = 8193;
    return static_cast<std::int32_t>((std::uint32_t{seed[0]} << 8 | seed[1]) % bitrate_choices);
}

inline bool read_file(const std::string& path, std::vector<std::uint8_t>& content) {
    std::ifstream in(path, std::ios::binary);
    content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return in.is_open() && !in.bad();
}
