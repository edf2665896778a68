#include "tests/unit/test_support.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

TempDir::TempDir() {
    static std::atomic<int> counter{0};
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    m_path = fs::temp_directory_path() /
             ("kelmar_test_" + std::to_string(stamp) + "_" + std::to_string(counter++));
    fs::create_directories(m_path);
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(m_path, ignored);
}

std::string ReadFileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFileBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool Contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

std::vector<LogEntry> LogEntries(const std::string& log) {
    // elapsed \t date time \t module \t\t message \r\n
    std::vector<LogEntry> entries;
    size_t start = 0, end;
    while ((end = log.find("\r\n", start)) != std::string::npos) {
        std::string line = log.substr(start, end - start);
        start = end + 2;
        size_t a = line.find('\t');
        size_t b = a == std::string::npos ? a : line.find('\t', a + 1);
        size_t c = b == std::string::npos ? b : line.find("\t\t", b + 1);
        if (c != std::string::npos)
            entries.push_back({line.substr(b + 1, c - b - 1), line.substr(c + 2)});
    }
    return entries;
}
