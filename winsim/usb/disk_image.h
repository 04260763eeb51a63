// winsim: the backing store of a simulated logical unit. A memory image is sparse (64 KiB chunks are
// allocated on first write, unwritten space reads as zeros) so that a stick of realistic capacity costs
// only what the test writes; a file image keeps its data in a host file through pread/pwrite. Both check
// every access against the image's size and fail loudly on an access outside it: the SCSI target
// validates addresses before it touches the image, so such an access is a fault in the simulation.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace winsim::usb
{

// What a logical unit needs from its medium.
class DiskImage
{
public:
    virtual ~DiskImage() = default;
    virtual uint64_t SizeBytes() const = 0;
    virtual void Read(uint64_t offset, void* buffer, uint64_t length) = 0;
    virtual void Write(uint64_t offset, const void* buffer, uint64_t length) = 0;
    virtual void Flush() = 0;

protected:
    void CheckRange(uint64_t offset, uint64_t length, const char* what) const;
};

// Sparse in-memory medium; the default for tests and kavlab.
class MemoryDiskImage : public DiskImage
{
public:
    static constexpr uint64_t kChunkBytes = 64 * 1024;

    explicit MemoryDiskImage(uint64_t sizeBytes);
    uint64_t SizeBytes() const override { return size_; }
    void Read(uint64_t offset, void* buffer, uint64_t length) override;
    void Write(uint64_t offset, const void* buffer, uint64_t length) override;
    void Flush() override {}
    // Bytes actually held, to show that untouched space costs nothing.
    uint64_t AllocatedBytes() const;

private:
    uint64_t size_;
    mutable std::mutex lock_;
    std::unordered_map<uint64_t, std::unique_ptr<uint8_t[]>> chunks_;
};

// Medium in a host file. The file is created or extended to the given size; 0 keeps the file's own size.
class FileDiskImage : public DiskImage
{
public:
    FileDiskImage(const std::string& path, uint64_t sizeBytes);
    ~FileDiskImage() override;
    FileDiskImage(const FileDiskImage&) = delete;
    FileDiskImage& operator=(const FileDiskImage&) = delete;

    uint64_t SizeBytes() const override { return size_; }
    void Read(uint64_t offset, void* buffer, uint64_t length) override;
    void Write(uint64_t offset, const void* buffer, uint64_t length) override;
    void Flush() override;

private:
    std::string path_;
    int fd_ = -1;
    uint64_t size_ = 0;
};

} // namespace winsim::usb
