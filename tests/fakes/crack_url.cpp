#include <cctype>

#include "tests/fakes/fakes.h"

namespace {

constexpr size_t kPartLimit = 1024;

bool Decode(const std::string& in, std::string* out) {
    out->clear();
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] == '%' && i + 2 < in.size() &&
            std::isxdigit(static_cast<unsigned char>(in[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(in[i + 2]))) {
            out->push_back(static_cast<char>(std::stoi(in.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else {
            out->push_back(in[i]);
        }
    }
    return out->size() < kPartLimit;
}

}  // namespace

bool PortableCrackUrl(const std::string& url, std::string* host, std::string* path,
                      std::string* extra) {
    size_t scheme = url.find("://");
    if (scheme == std::string::npos || scheme == 0) return false;
    for (size_t i = 0; i < scheme; ++i) {
        if (!std::isalpha(static_cast<unsigned char>(url[i]))) return false;
    }
    size_t hostStart = scheme + 3;
    size_t pathStart = url.find_first_of("/?#", hostStart);
    std::string authority = url.substr(
        hostStart, pathStart == std::string::npos ? std::string::npos : pathStart - hostStart);
    size_t at = authority.rfind('@');
    if (at != std::string::npos) authority = authority.substr(at + 1);
    size_t colon = authority.find(':');
    std::string hostText = authority.substr(0, colon);
    if (hostText.empty()) return false;
    std::string rest = pathStart == std::string::npos ? std::string() : url.substr(pathStart);
    size_t query = rest.find_first_of("?#");
    std::string pathText = rest.substr(0, query);
    std::string extraText = query == std::string::npos ? std::string() : rest.substr(query);
    return Decode(hostText, host) && Decode(pathText, path) && Decode(extraText, extra);
}
