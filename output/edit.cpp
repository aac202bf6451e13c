// The edit pass and the finish of each file: the payloads that the check pass planned are
// written into the working file, which then gets its times and its name.
#include "output/output.hpp"

#include <new>
#include <vector>

namespace {

// Reads back every region that the edit rewrites: each must still hold the bytes that the
// check pass saw, or another program has changed the file meanwhile.
container_status verify_edits(const platform::working_file& work,
                              std::span<const payload_edit> edits) {
    std::vector<std::uint8_t> found;
    for (const payload_edit& edit : edits) {
        try {
            found.resize(edit.original.size());
        } catch (const std::bad_alloc&) {
            return report("error!(malloc)", status_no_buffer);
        }
        if (!platform::read_at(work, edit.position, found.data(), found.size()) ||
            found != edit.original)
            return report("error!(rd box)", status_format_error);
    }
    return status_ok;
}

container_status write_edits(const platform::working_file& work,
                             std::span<const payload_edit> edits) {
    for (const payload_edit& edit : edits)
        if (!platform::write_at(work, edit.position, edit.edited.data(), edit.edited.size()))
            return edit.short_write;
    return status_ok;
}

// Puts back the bytes that the edits replace, and the file's times from before the run,
// and waits until they are on the disk.
void undo_edits(const platform::working_file& work, std::span<const payload_edit> edits,
                const platform::file_times& times) {
    for (const payload_edit& edit : edits)
        platform::write_at(work, edit.position, edit.original.data(), edit.original.size());
    platform::keep_times(work, times);
    platform::sync_data(work);
}

bool same_file(const platform::working_file& a, const platform::working_file& b) {
    return a.identity[0] == b.identity[0] && a.identity[1] == b.identity[1];
}

// The input, `edited`, was renamed, but its close failed, so the edit may not have
// reached it all: it is opened again under its new name, given back its own name and
// then its bytes. Where it cannot have its name back, or another program put a file of
// its own under the new name meanwhile, it stays as the edit left it, and the line says
// that the rename failed.
void undo_after_close(const char* input_path, const platform::working_file& edited,
                      const output_name& output, std::span<const payload_edit> edits,
                      const platform::file_times& times) {
    const char* output_path = output.output_path.c_str();
    platform::working_file file;
    if (!platform::open_for_update(output_path, file) || !same_file(file, edited) ||
        platform::rename_own_file(file, output_path, input_path) != platform::name_result::done) {
        write_message("output file:%s rename failed!", output_path);
        return;
    }
    undo_edits(file, edits, times);
    platform::close_file(file);
}

// Writes the edit, gives the file its times back, waits until the edit is on the disk and
// renames the file, so that the new name never holds the old bytes; false at the first
// failure.
bool edit_and_rename(const char* input_path, const platform::working_file& file,
                     output_name& output, std::span<const payload_edit> edits,
                     const platform::file_times& times) {
    if (write_edits(file, edits) != status_ok)
        return false;
    platform::keep_times(file, times);
    return platform::sync_data(file) && rename_input(output, input_path, file);
}

} // namespace

container_status apply_edits(const platform::working_file& work,
                             std::span<const payload_edit> edits) {
    if (const container_status status = verify_edits(work, edits); status != status_ok)
        return status;
    return write_edits(work, edits);
}

finish_result finish_copy(platform::working_file& copy, output_name& output,
                          std::span<const payload_edit> edits, const platform::file_times& times) {
    // A copy that fails is never seen: it has no name yet, and goes with `copy`.
    if (apply_edits(copy, edits) != status_ok)
        return finish_result::edit_failed;
    platform::keep_times(copy, times);
    // On the disk before it has a name, so that the name never holds less.
    if (!platform::sync_data(copy))
        return finish_result::edit_failed;
    if (!publish_copy(output, copy))
        return finish_result::not_published;
    if (!platform::close_file(copy)) {
        platform::remove_name(output.output_path.c_str());
        return finish_result::edit_failed;
    }
    return finish_result::done;
}

finish_result finish_in_place(const char* input_path, platform::working_file& file,
                              output_name& output, std::span<const payload_edit> edits,
                              const platform::file_times& times) {
    if (verify_edits(file, edits) != status_ok)
        return finish_result::edit_failed;
    const platform::ending_signals_deferred deferred;
    if (!edit_and_rename(input_path, file, output, edits, times)) {
        // The bytes go back only into the input under its own name: a file that another
        // program renamed meanwhile is no longer this run's to write to.
        if (platform::is_named(file, input_path))
            undo_edits(file, edits, times);
        platform::close_file(file);
        return finish_result::edit_failed;
    }
    if (!platform::close_file(file)) {
        undo_after_close(input_path, file, output, edits, times);
        return finish_result::edit_failed;
    }
    return finish_result::done;
}
