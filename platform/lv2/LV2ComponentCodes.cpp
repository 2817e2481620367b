#include "platform/lv2/LV2ComponentCodes.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <map>
#include <set>
#include <utility>

namespace velunto {

namespace {

constexpr std::string_view kLowerAlphanumeric = "abcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::string_view kLetters = "abcdefghijklmnopqrstuvwxyz";
constexpr std::string_view kVendorInitials = "ABCDEFGHIJKLMNOPQRSTUWXYZ";  // no 'V'
constexpr std::array<std::string_view, 4> kCodeHosts = {"github.com", "gitlab.com", "codeberg.org", "sourceforge.net"};

// FNV-1a over the text, then over the salt's decimal digits after a '#', then a final mix (the
// splitmix64 finaliser) so that every digit of the code depends on every byte.
std::uint64_t hash(std::string_view text, UInt32 salt) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    const auto add = [&h](unsigned char byte) {
        h ^= byte;
        h *= 0x100000001b3ull;
    };
    for (const char c : text) {
        add(static_cast<unsigned char>(c));
    }
    if (salt != 0) {
        add('#');
        for (const char c : std::to_string(salt)) {
            add(static_cast<unsigned char>(c));
        }
    }
    h ^= h >> 30;
    h *= 0xbf58476d1ce4e5b9ull;
    h ^= h >> 27;
    h *= 0x94d049bb133111ebull;
    h ^= h >> 31;
    return h;
}

OSType code(std::uint64_t h, std::string_view first, std::string_view rest) {
    OSType value = static_cast<unsigned char>(first[h % first.size()]);
    h /= first.size();
    for (int i = 0; i < 3; ++i) {
        value = (value << 8) | static_cast<unsigned char>(rest[h % rest.size()]);
        h /= rest.size();
    }
    return value;
}

std::string lower(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return result;
}

}  // namespace

std::string LV2ComponentCodes::vendorKey(std::string_view uri) {
    if (const auto scheme = uri.find("://"); scheme != std::string_view::npos) {
        std::string_view rest = uri.substr(scheme + 3);
        const std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
        const auto userEnd = authority.find('@');
        std::string host = lower(userEnd == std::string_view::npos ? authority : authority.substr(userEnd + 1));
        host = host.substr(0, host.find(':'));
        if (host.rfind("www.", 0) == 0) {
            host.erase(0, 4);
        }
        if (std::find(kCodeHosts.begin(), kCodeHosts.end(), host) != kCodeHosts.end() &&
            authority.size() < rest.size()) {
            std::string_view path = rest.substr(authority.size() + 1);
            path = path.substr(0, path.find_first_of("/?#"));
            if (!path.empty()) {
                host += '/';
                host += lower(path);
            }
        }
        return host;
    }
    if (lower(uri.substr(0, 4)) == "urn:") {
        return lower(uri.substr(0, uri.find(':', 4)));
    }
    const auto last = uri.find_last_of(":/");
    return std::string(uri.substr(0, last == std::string_view::npos ? uri.size() : last));
}

OSType LV2ComponentCodes::subtype(std::string_view uri, UInt32 salt) {
    return code(hash(uri, salt), kLetters, kLowerAlphanumeric);
}

OSType LV2ComponentCodes::manufacturer(std::string_view vendorKey, UInt32 salt) {
    return code(hash(vendorKey, salt), kVendorInitials, kLowerAlphanumeric);
}

std::vector<LV2ComponentCodes::Codes> LV2ComponentCodes::assign(const std::vector<std::string>& uris) {
    const std::set<std::string> sorted(uris.begin(), uris.end());

    std::map<std::string, OSType> manufacturers;  // vendor key → code
    for (const std::string& uri : sorted) {
        manufacturers.emplace(vendorKey(uri), 0);
    }
    std::set<OSType> usedManufacturers;
    for (auto& [key, value] : manufacturers) {
        UInt32 salt = 0;
        while (!usedManufacturers.insert(value = manufacturer(key, salt)).second) {
            ++salt;
        }
    }

    std::map<std::string, Codes> assigned;
    std::set<std::pair<OSType, OSType>> usedPairs;
    for (const std::string& uri : sorted) {
        Codes codes;
        codes.manufacturer = manufacturers.at(vendorKey(uri));
        UInt32 salt = 0;
        while (!usedPairs.emplace(codes.manufacturer, codes.subtype = subtype(uri, salt)).second) {
            ++salt;
        }
        assigned.emplace(uri, codes);
    }

    std::vector<Codes> result;
    result.reserve(uris.size());
    for (const std::string& uri : uris) {
        result.push_back(assigned.at(uri));
    }
    return result;
}

std::string LV2ComponentCodes::text(OSType code) {
    std::string result(4, ' ');
    for (int i = 0; i < 4; ++i) {
        result[static_cast<std::size_t>(i)] = static_cast<char>((code >> (24 - 8 * i)) & 0xff);
    }
    return result;
}

}  // namespace velunto
