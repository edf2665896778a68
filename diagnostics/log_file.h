// The debug log's file: opened for writing while others may read and write it
// (users watch it in a viewer), written without buffering.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class CLogFile {
  public:
    CLogFile() = default;
    ~CLogFile() { Close(); }
    CLogFile(const CLogFile&) = delete;
    CLogFile& operator=(const CLogFile&) = delete;

    // truncate: start an empty file; otherwise open or create it.
    bool Open(const std::string& path, bool truncate);
    void Close();
    bool IsOpen() const { return m_handle != kInvalid; }

    bool GetSize(uint64_t* size) const;
    // Writes at the current end of the file.
    bool Append(const char* data, size_t length);
    // Overwrites `length` bytes that end at the end of the file.
    bool OverwriteTail(const char* data, size_t length);

  private:
    static constexpr intptr_t kInvalid = -1;
    intptr_t m_handle = kInvalid;
};
