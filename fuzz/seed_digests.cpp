// Prints what the check pass and the edit pass make of each fuzzer seed: one line per
// seed with a digest of the edited file, the two statuses of the check pass and the
// seed's name, and on standard error the seed's name with the operations' messages. What
// two builds print is the same when the tool's results do not depend on the machine, its
// byte order included.
//
// Usage: seed_digests SEED...

#include "container/audio_bitrate.hpp"
#include "container/box.hpp"
#include "container/ftyp.hpp"
#include "fuzz/edit_in_memory.hpp"
#include "fuzz/seeds.hpp"
#include "platform/io.hpp"

#include <array>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;

// 64-bit FNV-1a: enough to tell two outputs apart, and the same on every machine.
std::uint64_t digest(const bytes& data) {
    std::uint64_t hash = 0xcbf29ce484222325u;
    for (const std::uint8_t byte : data)
        hash = (hash ^ byte) * 0x100000001b3u;
    return hash;
}

struct outcome {
    int ftyp = 0;
    int audio = 0;
    bytes file;
};

// The check pass on the file, then, where it passes, the tool's edit pass. False when
// the file cannot be read as a stream or the edit pass fails.
bool check_and_edit(bytes file, std::int32_t kbps, outcome& result) {
    std::array<payload_edit, 2> planned;
    {
        const stream_handle stream{fmemopen(file.data(), file.size(), "r")};
        if (stream == nullptr)
            return false;
        result.ftyp = fix_ftyp(stream.get(), planned[0]);
        if (result.ftyp == status_ok)
            result.audio = fix_audio_bitrate(stream.get(), kbps, planned[1]);
    }
    if (result.ftyp == status_ok && result.audio == status_ok && !edit_in_memory(file, planned))
        return false;
    result.file = std::move(file);
    return true;
}

} // namespace

int main(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        const std::string path = argv[i];
        const std::string name = path.substr(path.rfind('/') + 1);
        bytes seed;
        if (!read_file(argv[i], seed) || seed.size() <= seed_prefix_size) {
            std::fprintf(stderr, "seed_digests: cannot read %s\n", argv[i]);
            return 1;
        }
        const std::int32_t kbps = seed_bitrate_kbps(seed.data());
        // The operations' messages follow the seed's name, one line per seed.
        std::fprintf(stderr, "%s:", name.c_str());
        outcome result;
        if (!check_and_edit(bytes(seed.begin() + seed_prefix_size, seed.end()), kbps, result)) {
            std::fprintf(stderr, "\nseed_digests: cannot check or edit %s\n", argv[i]);
            return 1;
        }
        std::fputc('\n', stderr);
        std::printf("%016" PRIx64 " %d %d %s\n", digest(result.file), result.ftyp, result.audio,
                    name.c_str());
    }
    return std::fclose(stdout) == 0 ? 0 : 1;
}
