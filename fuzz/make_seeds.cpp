// Writes the fuzzer's seed inputs into a folder: built recordings that cover each
// decoder configuration layout, the file-type brand lists and the ways a file gets
// rejected, plus the recordings named on the command line. Each seed starts with the
// two bit-rate bytes the fuzzer reads (big-endian kbps), then the file.
//
// Usage: make_seeds FOLDER [RECORDING...]

#include "fuzz/seeds.hpp"
#include "tests/box_builder.hpp"

#include <fstream>
#include <string>

namespace {

struct seed {
    std::string name;
    bytes file;
};

std::vector<seed> built_seeds() {
    const bytes audio_track = track(stsd_box(box("mp4a", mp4a_payload())));
    const bytes video_track = track(stsd_box(box("avc1", bytes(70, 0))));
    return {
        {"one_byte_sizes", audio_recording({false, false})},
        {"four_byte_sizes", audio_recording({true, true})},
        {"long_es_size_only", audio_recording({true, false})},
        {"long_config_size_only", audio_recording({false, true})},
        {"mp42", recording(audio_track, "mp42")},
        {"average_rounds_to_wrap", audio_recording({false, false, 0xfffffe0cu})},
        {"average_wraps", audio_recording({false, false, 0xffffffffu})},
        {"average_zero", audio_recording({true, true, 0})},
        {"shortest_entry", short_entry(60)},
        {"brands_ndia", with_ftyp(ftyp_with("3gp6", text("isomndia3gp6")))},
        {"brands_ndam_first", with_ftyp(ftyp_with("mp42", text("ndamisom")), {true, true})},
        {"brands_m4a_kept", with_ftyp(ftyp_with("3gp6", text("ndiaM4A ")))},
        {"brands_odd_tail", with_ftyp(ftyp_with("3gp6", text("ndia"), {0xee, 0xff}))},
        {"major_only", with_ftyp(box("ftyp", text("3gp6")))},
        {"major_isom", with_ftyp(ftyp_with("isom", {}))},
        {"already_m4a", with_ftyp(ftyp_with("M4A ", text("ndia")))},
        {"ftyp_size_below_header", with_ftyp(box_sized(7, "ftyp", text("3gp6")))},
        {"ftyp_size_past_end", box_sized(0x7fffffffu, "ftyp", text("3gp6"))},
        {"moov_before_mdat",
         cat({ftyp_box(), box("moov", cat({box("mvhd", bytes(100, 0)), audio_track})),
              box("mdat", bytes(16, 1))})},
        {"no_moov", cat({ftyp_box(), box("mdat", bytes(9, 0))})},
        {"no_trak", recording({})},
        {"no_mdia", recording(box("trak", box("tkhd")))},
        {"no_stsd", recording(box("trak", box("mdia", box("minf", box("stbl")))))},
        {"two_entries", recording(track(stsd_box(
                            cat({box("mp4a", mp4a_payload()), box("avc1", bytes(70, 0))}), 2)))},
        {"stsd_version_one", recording(track(stsd_box(box("mp4a", mp4a_payload()), 1, 1)))},
        {"video_track_first", recording(cat({video_track, audio_track}))},
        {"amr_entry", recording(track(stsd_box(box("samr", bytes(20, 0)))))},
        {"entry_size_below_header",
         recording(track(stsd_box(box_sized(4, "mp4a", mp4a_payload()))))},
        {"entry_past_end", truncated(audio_recording(), 10)},
        {"truncated_in_track", truncated(audio_recording(), 150)},
        {"box_after_esds", with_entry(cat({mp4a_payload(), box("btrt", bytes(12, 0))}))},
        {"wrong_es_tag", entry_byte(40, 5)},
        {"wrong_config_tag", entry_byte(45, 5)},
        {"object_type_0x67", entry_byte(47, 0x67)},
        {"two_byte_es_size", entry_byte(41, 0x81)},
        {"entry_ends_at_config_tag", short_entry(46)},
        {"long_sizes_entry_ends_at_config_size", short_entry(49, {true, true})},
        {"bitrate_at_payload_end", short_entry(59)},
        {"long_sizes_bitrate_at_end", short_entry(65, {true, true})},
    };
}

bool write_seed(const std::string& path, std::uint16_t kbps, const bytes& file) {
    std::ofstream out(path, std::ios::binary);
    const char prefix[] = {static_cast<char>(kbps >> 8), static_cast<char>(kbps & 0xff)};
    out.write(prefix, sizeof prefix);
    out.write(reinterpret_cast<const char*>(file.data()),
              static_cast<std::streamsize>(file.size()));
    return out.good();
}

// The file's own average rounded, and an explicit rate.
constexpr std::uint16_t seed_rates[] = {0, 128};

} // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) {
        std::fputs("Usage: make_seeds FOLDER [RECORDING...]\n", stderr);
        return 2;
    }
    const std::string folder = argv[1];
    std::vector<seed> seeds = built_seeds();
    for (int i = 2; i < argc; ++i) {
        const std::string path = argv[i];
        seed recorded{path.substr(path.rfind('/') + 1), {}};
        if (!read_file(path, recorded.file)) {
            std::fprintf(stderr, "make_seeds: cannot read %s\n", argv[i]);
            return 1;
        }
        seeds.push_back(std::move(recorded));
    }
    for (const seed& s : seeds)
        for (const std::uint16_t kbps : seed_rates)
            if (!write_seed(folder + "/seed-" + s.name + "-" + std::to_string(kbps), kbps,
                            s.file)) {
                std::fprintf(stderr, "make_seeds: cannot write %s\n", s.name.c_str());
                return 1;
            }
    return 0;
}
