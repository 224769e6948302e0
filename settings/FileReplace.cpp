#include "settings/FileReplace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "diag/ProgramPath.h"
#include "platform/UniqueHandle.h"

namespace {

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// Creates a new hidden file beside path that nobody else uses, for writing,
// readable by its owner only.
UniqueFd CreateSiblingFile(const std::string& path, std::string& siblingPath) {
    const std::string folder = FolderOf(path);
    const std::string name = path.substr(folder.size());
    for (int attempt = 0; attempt < 100; ++attempt) {
        siblingPath = folder + "." + name + ".tmp" + std::to_string(::getpid()) + "-" +
                      std::to_string(attempt);
        UniqueFd fd(::open(siblingPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (fd || errno != EEXIST) return fd;
    }
    return UniqueFd();
}

}  // namespace

bool ReplaceFile(const std::string& path, const void* bytes, std::size_t size) {
    std::string siblingPath;
    UniqueFd fd = CreateSiblingFile(path, siblingPath);
    if (!fd) return false;

    struct stat old {};
    if (::stat(path.c_str(), &old) == 0) ::fchmod(fd.Get(), old.st_mode & 0700);

    bool written =
        WriteAll(fd.Get(), static_cast<const std::uint8_t*>(bytes), size) && ::fsync(fd.Get()) == 0;
    written = (::close(fd.Release()) == 0) && written;
    if (!written || ::rename(siblingPath.c_str(), path.c_str()) != 0) {
        ::unlink(siblingPath.c_str());
        return false;
    }
    // Make the rename itself durable; a failure here loses nothing already written.
    const std::string folder = FolderOf(path);
    UniqueFd dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir) ::fsync(dir.Get());
    return true;
}
