#include "container/ftyp.hpp"

#include "container/box.hpp"

#include <utility>

namespace {

constexpr std::size_t major_brand_size = fourcc_size;
constexpr std::size_t brand_list_offset = 8; // after the major brand and minor version

bool accepted_major_brand(const std::vector<std::uint8_t>& payload) {
    return payload.size() >= major_brand_size &&
           (same_fourcc(payload.data(), "3gp6") || same_fourcc(payload.data(), "mp42"));
}

// Puts "M4A " at the head of the compatible brands in place of the first "ndam" or
// "ndia", keeping the order of the brands before it; a list that already names
// "M4A " stays as it is.
void promote_m4a_brand(std::vector<std::uint8_t>& payload) {
    if (payload.size() < brand_list_offset + fourcc_size)
        return;
    const std::size_t count = (payload.size() - brand_list_offset) / fourcc_size;
    std::uint8_t* brands = payload.data() + brand_list_offset;
    for (std::size_t i = 0; i < count; ++i)
        if (same_fourcc(brands + i * fourcc_size, "M4A "))
            return;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* brand = brands + i * fourcc_size;
        if (same_fourcc(brand, "ndam") || same_fourcc(brand, "ndia")) {
            std::memmove(brands + fourcc_size, brands, i * fourcc_size);
            std::memcpy(brands, "M4A ", fourcc_size);
            return;
        }
    }
}

} // namespace

container_status fix_ftyp(std::FILE* stream, payload_edit& planned) {
    box_header header;
    if (!read_box_header(stream, header))
        return report("format error!(size)", status_format_error);
    if (!same_fourcc(header.type, "ftyp"))
        return report("format error!(ftyp)", status_format_error);
    const std::int32_t length = payload_length(header);
    if (length < 0)
        return report("error!(malloc)", status_no_buffer);
    std::vector<std::uint8_t> payload;
    if (const container_status status = read_payload(stream, length, payload); status != status_ok)
        return status;
    if (!accepted_major_brand(payload))
        return report("format error!(ftyp main)", status_format_error);
    std::vector<std::uint8_t> edited;
    if (const container_status status = copy_payload(payload, edited); status != status_ok)
        return status;
    std::memcpy(edited.data(), "M4A ", major_brand_size);
    promote_m4a_brand(edited);
    // The stream stood at the start of the file, so the payload follows the header.
    planned = {box_header_size, std::move(payload), std::move(edited), status_ftyp_short_write};
    return status_ok;
}
