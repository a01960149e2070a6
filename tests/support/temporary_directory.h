// A new, empty directory of this process's own under the system's temporary directory.
#pragma once

#include <atomic>
#include <filesystem>
#include <string>

#include "support/child_process.h"

// `stem` followed by the process id and a counter; a name left over by an earlier run is passed
// over, since create_directory reports whether it made the directory itself.
inline std::filesystem::path TemporaryDirectory(const std::string& stem) {
    static std::atomic<unsigned> counter{0};
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (;;) {
        std::filesystem::path directory =
            base / (stem + std::to_string(CurrentProcessId()) + "_" + std::to_string(counter++));
        if (std::filesystem::create_directory(directory)) return directory;
    }
}
