#include "diagnostics/debug.h"

#include <cstring>

#include "diagnostics/ansi_codepage.h"
#include "diagnostics/thread_slot.h"
#include "diagnostics/tick_count.h"
#include "diagnostics/utf16.h"

CDebug g_Debug;

namespace {

constexpr size_t kMaxPath = 259;  // MAX_PATH less its terminator
constexpr char kXmlProlog[] = "<?xml:stylesheet type=\"text/xsl\" href=\"debug.xsl\"?><DEBUG>";
constexpr char kXmlEnd[] = "</DEBUG>";
constexpr char kErrorTag[] = "ERROR - ";

// The formatted message as UTF-8. The formatter's cut may have split the last
// character: what is left of it goes. A text that is not UTF-8 (a user name,
// the service's bytes) is taken as ANSI.
std::string MessageText(const char* message, size_t length) {
    const std::string raw(message, length);
    std::string text = raw;
    bool cut = length >= kFormatLimit;
    if (cut) {
        size_t lead = text.size();
        while (lead > 0 && text.size() - lead < 3 &&
               (static_cast<unsigned char>(text[lead - 1]) & 0xC0) == 0x80)
            --lead;
        if (lead > 0) {
            unsigned char c = static_cast<unsigned char>(text[lead - 1]);
            size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
            if (text.size() - (lead - 1) < need) text.resize(lead - 1);
        }
    }
    if (IsValidUtf8(text)) return text;
    return AnsiToUtf8(raw.substr(0, AnsiCutPoint(raw, length)));
}

}  // namespace

std::string LogBanner() {
    std::string banner = "Elapsed\tDate/Time\t\tModule\t\t\t\tDebug\r\n";
    banner.append(101, '=');
    banner += "\r\n";
    return banner;
}

namespace {

// Appends src to the line buffer, never past its end.
void Put(char* line, size_t capacity, size_t* used, const char* src, size_t length) {
    size_t room = capacity - *used;
    if (length > room) length = room;
    std::memcpy(line + *used, src, length);
    *used += length;
}

}  // namespace

size_t FormatLogPrefix(char* out, uint32_t elapsedMs, const LocalTime& now, const char* module) {
    return FormatTo(out, "%d.%03d\t%02d/%02d/%02d %02d:%02d:%02d\t%s\t\t",
                    static_cast<int>(elapsedMs / 1000), static_cast<int>(elapsedMs % 1000),
                    now.month, now.day, now.year, now.hour, now.minute, now.second,
                    module ? module : "");
}

CDebug::~CDebug() {
    Close();
}

void CDebug::Close() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!m_file.IsOpen()) return;
    if (m_xml) m_file.Append(kXmlEnd, sizeof(kXmlEnd) - 1);
    m_file.Close();
}

std::string CDebug::GetPath() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_path;
}

bool CDebug::OpenFile(bool truncate) {
    if (!m_file.Open(m_path, truncate)) {
        m_enabled = false;
        return false;
    }
    return true;
}

void CDebug::Open(const std::string& path, bool truncate, bool enabled, bool xml) {
    if (path.empty()) return;
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    Close();
    m_enabled = enabled;
    m_xml = xml;
    // A cut path would name some other file: refuse it instead.
    if (path.size() + (xml ? 4 : 0) > kMaxPath) {
        m_path.clear();
        m_enabled = false;
        return;
    }
    m_path = xml ? path + ".xml" : path;
    if (!OpenFile(truncate)) return;

    bool newFile = truncate;
    if (xml && !truncate) {
        // Reopen the document by blanking the end tag the last close wrote. An
        // empty file is a new document and gets the prolog.
        uint64_t size = 0;
        if (m_file.GetSize(&size) && size == 0) {
            newFile = true;
        } else if (size >= 8) {
            m_file.OverwriteTail("        ", 8);
        }
    }
    m_startTick = GetTickCount32();
    WriteHeader(newFile);
}

void CDebug::WriteHeader(bool newFile) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!m_file.IsOpen()) return;
    // The log is UTF-8: an empty file starts with the byte order mark, so that
    // every editor, Notepad on older systems too, shows the titles right.
    uint64_t size = 0;
    if (m_file.GetSize(&size) && size == 0) m_file.Append(kUtf8ByteOrderMark, 3);
    if (m_xml && newFile) {
        m_file.Append(kXmlProlog, sizeof(kXmlProlog) - 1);
    } else {
        std::string banner = LogBanner();
        m_file.Append(banner.data(), banner.size());
    }
}

bool CDebug::SetLevel(int level) {
    if (level < 1 || level > 9) return false;
    m_threshold = level;
    return true;
}

bool CDebug::SetMaxSize(int kilobytes) {
    if (kilobytes == -1) {
        m_maxSize = -1;
        m_enabled = true;
        return true;
    }
    if (kilobytes < 0) return false;
    m_enabled = kilobytes != 0;
    // Limits of 2 GiB and more cannot be expressed; treat them as no limit.
    m_maxSize = kilobytes < (1 << 21) ? kilobytes * 1024 : -1;
    return true;
}

void CDebug::Log(int level, const char* module, const char* format, ...) {
    if (level < m_threshold || level < 0 || !m_enabled) return;
    va_list args;
    va_start(args, format);
    LogV(level, module, format, args);
    va_end(args);
}

CDebugSubject::CDebugSubject(const char* name) : m_previous(GetThreadText()) {
    SetThreadText(name);
}

CDebugSubject::~CDebugSubject() {
    SetThreadText(m_previous);
}

void CDebug::LogV(int level, const char* module, const char* format, va_list args) {
    if (level < m_threshold || level < 0 || !m_enabled) return;
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!m_file.IsOpen()) return;

    int maxSize = m_maxSize;
    uint64_t size = 0;
    if (maxSize > 0 && m_file.GetSize(&size) && size > static_cast<uint64_t>(maxSize)) {
        // Start afresh; elapsed times keep counting from the first opening.
        m_file.Close();
        if (!OpenFile(true)) return;
        WriteHeader(true);
    }

    char formatted[kFormatLimit + 1];
    std::string text = MessageText(formatted, FormatV(formatted, format ? format : "", args));
    if (const char* subject = GetThreadText()) text = subject + (": " + text);
    const char* message = text.data();
    size_t messageLength = text.size();

    LocalTime now = GetLocalTimeNow();
    uint32_t elapsed = GetTickCount32() - m_startTick;

    // The whole line goes out in one write so lines never interleave.
    constexpr size_t kLineCapacity = 2 * (kFormatLimit + 1) + 5 * kFormatLimit + 64;
    char line[kLineCapacity];
    size_t used = 0;
    char prefix[kFormatLimit + 1];
    size_t prefixLength;
    if (!m_xml) {
        prefixLength = FormatLogPrefix(prefix, elapsed, now, module);
        Put(line, kLineCapacity, &used, prefix, prefixLength);
        if (level == DEBUG_ERROR) Put(line, kLineCapacity, &used, kErrorTag, sizeof(kErrorTag) - 1);
        Put(line, kLineCapacity, &used, message, messageLength);
        Put(line, kLineCapacity, &used, "\r\n", 2);
    } else {
        prefixLength = FormatTo(prefix,
                                "<LINE><ELAPSED>%d.%03d</ELAPSED><DATE>%02d/%02d/%02d</DATE>"
                                "<TIME>%02d:%02d:%02d</TIME>",
                                static_cast<int>(elapsed / 1000), static_cast<int>(elapsed % 1000),
                                now.month, now.day, now.year, now.hour, now.minute, now.second);
        Put(line, kLineCapacity, &used, prefix, prefixLength);
        prefixLength = FormatTo(prefix, "<MODULE>%s</MODULE><MESSAGE>", module ? module : "");
        Put(line, kLineCapacity, &used, prefix, prefixLength);
        if (level == DEBUG_ERROR) Put(line, kLineCapacity, &used, kErrorTag, sizeof(kErrorTag) - 1);
        for (size_t i = 0; i < messageLength; ++i) {
            if (message[i] == '&') {
                Put(line, kLineCapacity, &used, "&amp;", 5);
            } else {
                Put(line, kLineCapacity, &used, &message[i], 1);
            }
        }
        static const char kEnd[] = "</MESSAGE></LINE>";
        Put(line, kLineCapacity, &used, kEnd, sizeof(kEnd) - 1);
    }
    m_file.Append(line, used);
}
