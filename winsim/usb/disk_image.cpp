// winsim: memory and file backing stores of the simulated logical units (see disk_image.h).
#include "winsim/usb/disk_image.h"

#include "winsim/usb/usb_misuse.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace winsim::usb
{

// An access beyond the medium means the target skipped its address check: never let it pass.
void DiskImage::CheckRange(uint64_t offset, uint64_t length, const char* what) const
{
    const uint64_t size = SizeBytes();
    if (offset > size || length > size - offset)
    {
        throw MisuseError(std::string(what) + " outside the disk image: offset " + std::to_string(offset) +
                          ", length " + std::to_string(length) + ", size " + std::to_string(size));
    }
}

MemoryDiskImage::MemoryDiskImage(uint64_t sizeBytes) : size_(sizeBytes) {}

// Unwritten chunks read as zeros, as a freshly erased medium does.
void MemoryDiskImage::Read(uint64_t offset, void* buffer, uint64_t length)
{
    CheckRange(offset, length, "read");
    std::lock_guard<std::mutex> guard(lock_);
    auto* out = static_cast<uint8_t*>(buffer);
    while (length != 0)
    {
        const uint64_t index = offset / kChunkBytes;
        const uint64_t within = offset % kChunkBytes;
        const uint64_t piece = std::min(length, kChunkBytes - within);
        const auto found = chunks_.find(index);
        if (found == chunks_.end())
        {
            std::memset(out, 0, piece);
        }
        else
        {
            std::memcpy(out, found->second.get() + within, piece);
        }
        out += piece;
        offset += piece;
        length -= piece;
    }
}

void MemoryDiskImage::Write(uint64_t offset, const void* buffer, uint64_t length)
{
    CheckRange(offset, length, "write");
    std::lock_guard<std::mutex> guard(lock_);
    auto* in = static_cast<const uint8_t*>(buffer);
    while (length != 0)
    {
        const uint64_t index = offset / kChunkBytes;
        const uint64_t within = offset % kChunkBytes;
        const uint64_t piece = std::min(length, kChunkBytes - within);
        auto& chunk = chunks_[index];
        if (!chunk)
        {
            chunk.reset(new uint8_t[kChunkBytes]()); // value-initialised: the unwritten rest stays zero
        }
        std::memcpy(chunk.get() + within, in, piece);
        in += piece;
        offset += piece;
        length -= piece;
    }
}

uint64_t MemoryDiskImage::AllocatedBytes() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return chunks_.size() * kChunkBytes;
}

// Opens (or creates) the file and sizes it; a host I/O failure is a broken test set-up, reported loudly.
FileDiskImage::FileDiskImage(const std::string& path, uint64_t sizeBytes) : path_(path)
{
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0)
    {
        throw MisuseError("cannot open disk image " + path + ": " + std::strerror(errno));
    }
    struct stat info;
    if (::fstat(fd_, &info) != 0)
    {
        ::close(fd_);
        throw MisuseError("cannot stat disk image " + path);
    }
    size_ = sizeBytes != 0 ? sizeBytes : uint64_t(info.st_size);
    if (uint64_t(info.st_size) < size_ && ::ftruncate(fd_, off_t(size_)) != 0)
    {
        ::close(fd_);
        throw MisuseError("cannot size disk image " + path);
    }
}

FileDiskImage::~FileDiskImage()
{
    if (fd_ >= 0)
    {
        ::close(fd_);
    }
}

void FileDiskImage::Read(uint64_t offset, void* buffer, uint64_t length)
{
    CheckRange(offset, length, "read");
    auto* out = static_cast<uint8_t*>(buffer);
    while (length != 0)
    {
        const ssize_t got = ::pread(fd_, out, length, off_t(offset));
        if (got < 0 && errno == EINTR)
        {
            continue;
        }
        if (got < 0)
        {
            throw MisuseError("read from disk image " + path_ + " failed: " + std::strerror(errno));
        }
        if (got == 0) // beyond the file's end inside the image: a sparse hole, zeros
        {
            std::memset(out, 0, length);
            return;
        }
        out += got;
        offset += uint64_t(got);
        length -= uint64_t(got);
    }
}

void FileDiskImage::Write(uint64_t offset, const void* buffer, uint64_t length)
{
    CheckRange(offset, length, "write");
    auto* in = static_cast<const uint8_t*>(buffer);
    while (length != 0)
    {
        const ssize_t put = ::pwrite(fd_, in, length, off_t(offset));
        if (put < 0 && errno == EINTR)
        {
            continue;
        }
        if (put <= 0)
        {
            throw MisuseError("write to disk image " + path_ + " failed: " + std::strerror(errno));
        }
        in += put;
        offset += uint64_t(put);
        length -= uint64_t(put);
    }
}

void FileDiskImage::Flush()
{
    if (::fsync(fd_) != 0)
    {
        throw MisuseError("flush of disk image " + path_ + " failed: " + std::strerror(errno));
    }
}

} // namespace winsim::usb
