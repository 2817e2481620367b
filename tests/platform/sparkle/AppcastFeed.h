#pragma once

#include <string>
#include <vector>

namespace velunto {

// Builds appcast XML for tests.
inline std::string appcastItem(const std::string& version, const std::string& shortVersion = "",
                               const std::string& extra = "") {
    std::string item = "<item><title>Velunto " + (shortVersion.empty() ? version : shortVersion) + "</title>";
    if (!shortVersion.empty())
        item += "<sparkle:shortVersionString>" + shortVersion + "</sparkle:shortVersionString>";
    return item + "<sparkle:version>" + version + "</sparkle:version>" + extra +
           "<enclosure url=\"https://example.org/Velunto-" + version +
           ".zip\" length=\"1234\" type=\"application/octet-stream\"/></item>";
}

inline std::string appcastFeed(const std::vector<std::string>& items) {
    std::string xml = R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle"><channel><title>Velunto</title>)";
    for (const std::string& item : items)
        xml += item;
    return xml + "</channel></rss>";
}

}  // namespace velunto
