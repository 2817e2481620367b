#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/audiounit/AudioUnit.h"

namespace velunto {

// The four-character codes under which LV2 plug-ins appear as effect components. They are derived
// from the plug-in URI alone (a fixed hash, no process or run state), so a host that stored a
// component description finds the same plug-in at the next launch:
// - subtype: from the whole URI, four of [a-z0-9], starting with a letter;
// - manufacturer: from the URI's vendor key (vendorKey()), so one vendor's plug-ins share it; an
//   upper-case letter other than 'V' and three of [a-z0-9]. All-lower-case codes are the platform
//   vendor's and 'V…' codes Velunto's own (the built-in effects are 'Vlnt'), so neither can come out.
// Two vendors, or two plug-ins of one vendor, whose codes coincide are told apart by salting the
// hash: in sorted order the first keeps the plain code, later ones take the next salt that is free.
class LV2ComponentCodes {
public:
    struct Codes {
        OSType subtype = 0;
        OSType manufacturer = 0;
    };

    // "scheme://host/…": the host, lower-cased, without "www." or a port; for a code-hosting site
    // (github.com, gitlab.com, codeberg.org, sourceforge.net) also the first path segment, the
    // project's owner. "urn:name:…": "urn:name", lower-cased. Anything else: the text before its last ':' or '/'.
    static std::string vendorKey(std::string_view uri);

    static OSType subtype(std::string_view uri, UInt32 salt = 0);
    static OSType manufacturer(std::string_view vendorKey, UInt32 salt = 0);

    // The codes of a set of plug-ins, in the order of `uris` (any order; a repeated URI gets the
    // same codes again). No two distinct URIs get the same (manufacturer, subtype) pair, and
    // distinct vendor keys get distinct manufacturers.
    static std::vector<Codes> assign(const std::vector<std::string>& uris);

    // "abcd" for 'abcd'.
    static std::string text(OSType code);
};

}  // namespace velunto
