#pragma once
#include <optional>
#include <string>

namespace platform {

class Files {
public:
    virtual ~Files() = default;
    // The per-user application-support folder (no trailing slash).
    virtual std::string applicationSupportDirectory() const = 0;
    // The whole file as bytes, or nothing when it is missing or unreadable.
    virtual std::optional<std::string> readFile(const std::string& path) = 0;
    // Appends bytes to the log file with one write. Creates it owner-only when missing, and makes
    // an existing one of ours owner-only.
    // Drops the bytes (returns false) when the path is a symlink, not a regular file or not ours.
    virtual bool appendLog(const std::string& path, const std::string& bytes) = 0;
    // Path of a bundled resource, or nothing.
    virtual std::optional<std::string> resourcePath(const std::string& name, const std::string& type) const = 0;
};

}  // namespace platform
