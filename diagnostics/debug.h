// The process-wide debug log, g_Debug: one file in the plug-in's folder, written
// line by line in tab-separated text (or XML), filtered by level, with an
// optional size limit after which the file starts afresh.
//
// Some log texts look odd ("KPlaytally is now Disabled", "Failed to set interval
// because data was bobbins", "reponse", the "K" of "KCPlaytally::Enable"): they
// are the system's own, which users' log readers and our tests match, and must
// stay as they are.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "diagnostics/format.h"
#include "diagnostics/local_time.h"
#include "diagnostics/lock.h"
#include "diagnostics/log_file.h"

enum DebugLevel {
    DEBUG_TRACE = 1,
    DEBUG_DETAIL = 3,
    DEBUG_INFO = 5,
    DEBUG_WARNING = 7,
    DEBUG_NOTICE = 8,
    DEBUG_ERROR = 9,
};

class CDebug {
  public:
    CDebug() = default;
    virtual ~CDebug();
    CDebug(const CDebug&) = delete;
    CDebug& operator=(const CDebug&) = delete;

    // path is the file name without the XML suffix; truncate starts an empty file.
    void Open(const std::string& path, bool truncate, bool enabled, bool xml);
    // 1..9; anything else is refused.
    bool SetLevel(int level);
    // The "logsize" setting in kilobytes: 0 switches logging off, -1 means no
    // limit, other negative values are refused.
    bool SetMaxSize(int kilobytes);
    void SetEnabled(bool enabled) { m_enabled = enabled; }

    void Log(int level, const char* module, const char* format, ...) KELMAR_PRINTF(4, 5);
    void LogV(int level, const char* module, const char* format, va_list args);

    // Closes the file as the library's unload does (XML form gets its end tag).
    void Close();

    std::string GetPath() const;
    int GetLevel() const { return m_threshold; }
    bool IsEnabled() const { return m_enabled; }
    int GetMaxSize() const { return m_maxSize; }

  private:
    void WriteHeader(bool newFile);
    bool OpenFile(bool truncate);

    CLogFile m_file;
    mutable CRecursiveMutex m_lock;  // the last lock taken (see CPlaytally's m_lock)
    std::string m_path;
    uint32_t m_startTick = 0;
    std::atomic<int> m_threshold{9};
    std::atomic<bool> m_enabled{false};
    std::atomic<int> m_maxSize{-1};
    bool m_xml = false;
};

extern CDebug g_Debug;

// While one lives, every line this thread writes starts with the name given
// ("Home: ..."), so that the lines about one of several services say which.
// The name must outlive it.
class CDebugSubject {
  public:
    explicit CDebugSubject(const char* name);
    ~CDebugSubject();
    CDebugSubject(const CDebugSubject&) = delete;
    CDebugSubject& operator=(const CDebugSubject&) = delete;

  private:
    const char* m_previous;
};

// The banner that heads the text form (and an appended XML file).
std::string LogBanner();

// The text form's line prefix: elapsed seconds and milliseconds, local date and
// time, module and two tabs. `out` has room for kFormatLimit + 1 bytes.
size_t FormatLogPrefix(char* out, uint32_t elapsedMs, const LocalTime& now, const char* module);
