#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/lv2/LV2ComponentCodes.h"

namespace velunto {
namespace {

using Codes = LV2ComponentCodes::Codes;

TEST(LV2ComponentCodes, VendorKeyIsTheAuthorityOrProjectPart) {
    EXPECT_EQ(LV2ComponentCodes::vendorKey("http://gareus.org/oss/lv2/dpl#mono"), "gareus.org");
    EXPECT_EQ(LV2ComponentCodes::vendorKey("http://plugin.org.uk/swh-plugins/amp"), "plugin.org.uk");
    EXPECT_EQ(LV2ComponentCodes::vendorKey("https://WWW.Example.COM:8080/x"), "example.com");
    EXPECT_EQ(LV2ComponentCodes::vendorKey("http://user@lsp-plug.in/plugins/lv2/comp"), "lsp-plug.in");
    EXPECT_EQ(LV2ComponentCodes::vendorKey("https://github.com/Someone/plugin#a"), "github.com/someone");
    EXPECT_EQ(LV2ComponentCodes::vendorKey("https://github.com/Other/plugin"), "github.com/other");
    EXPECT_EQ(LV2ComponentCodes::vendorKey("urn:ardour:a-comp:stereo"), "urn:ardour");
    EXPECT_EQ(LV2ComponentCodes::vendorKey("urn:Ardour:a-delay"), "urn:ardour");
    EXPECT_EQ(LV2ComponentCodes::vendorKey("tag:vendor/thing"), "tag:vendor");
}

TEST(LV2ComponentCodes, CodesArePrintableAndKeepClearOfReservedFamilies) {
    for (int i = 0; i < 2000; ++i) {
        const std::string uri = "http://vendor" + std::to_string(i % 40) + ".example/plugin/" + std::to_string(i);
        const OSType subtype = LV2ComponentCodes::subtype(uri);
        const std::string manufacturer = LV2ComponentCodes::text(
            LV2ComponentCodes::manufacturer(LV2ComponentCodes::vendorKey(uri), static_cast<UInt32>(i % 3)));
        const std::string sub = LV2ComponentCodes::text(subtype);
        for (const char c : sub + manufacturer.substr(1)) {
            EXPECT_TRUE(std::islower(static_cast<unsigned char>(c)) || std::isdigit(static_cast<unsigned char>(c)))
                << sub << " " << manufacturer;
        }
        EXPECT_TRUE(std::islower(static_cast<unsigned char>(sub[0]))) << sub;
        // Upper-case initial: never an all-lower-case platform code; never 'V': not Velunto's own ('Vlnt').
        EXPECT_TRUE(std::isupper(static_cast<unsigned char>(manufacturer[0]))) << manufacturer;
        EXPECT_NE(manufacturer[0], 'V') << manufacturer;
    }
}

// Stored settings name plug-ins by these codes: a change here loses every user's chosen effect.
TEST(LV2ComponentCodes, KnownURIsKeepTheirCodes) {
    struct Known {
        const char* uri;
        const char* subtype;
        const char* manufacturer;
    };
    const Known table[] = {
        {"http://plugin.org.uk/swh-plugins/amp", "mti0", "P2jm"},
        {"http://gareus.org/oss/lv2/dpl#mono", "c6v0", "Xc9w"},
        {"http://gareus.org/oss/lv2/dpl#stereo", "wl3x", "Xc9w"},
        {"http://gareus.org/oss/lv2/fil4#mono", "a72t", "Xc9w"},
        {"urn:ardour:a-comp", "d2li", "El1m"},
    };
    std::vector<std::string> uris;
    for (const Known& known : table) {
        uris.emplace_back(known.uri);
    }
    const auto assigned = LV2ComponentCodes::assign(uris);
    for (std::size_t i = 0; i < uris.size(); ++i) {
        EXPECT_EQ(LV2ComponentCodes::text(assigned[i].subtype), table[i].subtype) << table[i].uri;
        EXPECT_EQ(LV2ComponentCodes::text(assigned[i].manufacturer), table[i].manufacturer) << table[i].uri;
    }
}

TEST(LV2ComponentCodes, AssignmentDoesNotDependOnInputOrderAndRepeatsAgree) {
    std::vector<std::string> uris = {"http://a.example/1", "http://b.example/2", "http://a.example/3", "urn:x:y:z",
                                     "http://b.example/4"};
    const auto forward = LV2ComponentCodes::assign(uris);
    std::vector<std::string> reversed(uris.rbegin(), uris.rend());
    reversed.push_back(uris[0]);
    const auto backward = LV2ComponentCodes::assign(reversed);
    for (std::size_t i = 0; i < uris.size(); ++i) {
        const Codes& b = backward[uris.size() - 1 - i];
        EXPECT_EQ(forward[i].subtype, b.subtype) << uris[i];
        EXPECT_EQ(forward[i].manufacturer, b.manufacturer) << uris[i];
    }
    EXPECT_EQ(backward.back().subtype, forward[0].subtype);
    // One vendor, one manufacturer; different vendors, different ones.
    EXPECT_EQ(forward[0].manufacturer, forward[2].manufacturer);
    EXPECT_EQ(forward[1].manufacturer, forward[4].manufacturer);
    EXPECT_NE(forward[0].manufacturer, forward[1].manufacturer);
    EXPECT_NE(forward[0].manufacturer, forward[3].manufacturer);
}

// Finds two strings made by `make` whose plain codes coincide.
template <class Make, class Code>
std::pair<std::string, std::string> findCollision(Make make, Code code) {
    std::map<OSType, std::string> seen;
    for (int i = 0; i < 5'000'000; ++i) {
        std::string candidate = make(i);
        const auto [it, inserted] = seen.emplace(code(candidate), candidate);
        if (!inserted) {
            return {it->second, candidate};
        }
    }
    return {};
}

TEST(LV2ComponentCodes, CollidingSubtypesOfOneVendorAreSaltedInURIOrder) {
    const auto [first, second] = findCollision([](int i) { return "http://collide.example/p" + std::to_string(i); },
                                               [](const std::string& uri) { return LV2ComponentCodes::subtype(uri); });
    ASSERT_FALSE(first.empty()) << "no colliding pair found";
    const std::string& lower = std::min(first, second);
    const std::string& higher = std::max(first, second);

    const auto codes = LV2ComponentCodes::assign({higher, lower});
    EXPECT_EQ(codes[0].manufacturer, codes[1].manufacturer);
    EXPECT_EQ(codes[1].subtype, LV2ComponentCodes::subtype(lower));  // the first in URI order keeps it
    EXPECT_NE(codes[0].subtype, codes[1].subtype);
    EXPECT_EQ(codes[0].subtype, LV2ComponentCodes::subtype(higher, 1));

    // A plug-in of another vendor with the same subtype does not collide: the pair differs.
    const auto mixed = LV2ComponentCodes::assign({first, "http://elsewhere.example/x"});
    EXPECT_EQ(mixed[0].subtype, LV2ComponentCodes::subtype(first));
}

TEST(LV2ComponentCodes, CollidingVendorsGetDistinctManufacturers) {
    const auto [first, second] =
        findCollision([](int i) { return "vendor" + std::to_string(i) + ".example"; },
                      [](const std::string& key) { return LV2ComponentCodes::manufacturer(key); });
    ASSERT_FALSE(first.empty()) << "no colliding pair found";
    const auto codes = LV2ComponentCodes::assign({"http://" + first + "/a", "http://" + second + "/b"});
    EXPECT_NE(codes[0].manufacturer, codes[1].manufacturer);
    const std::string& lower = std::min(first, second);
    const OSType plain = LV2ComponentCodes::manufacturer(lower);
    EXPECT_EQ(lower == first ? codes[0].manufacturer : codes[1].manufacturer, plain);
}

}  // namespace
}  // namespace velunto
