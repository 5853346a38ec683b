// Build-time generator: the settings table of README.md is the one source
// of the settings' documentation. From it this program writes the SETTINGS
// section of the man page tallysv(8) (into its template) and the example
// TALLYSV.INI with every key at its default and a one-line comment.
//
// usage: generate_docs README.md tallysv.8.in tallysv.8 TALLYSV.INI
#include <cstdio>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Setting {
    std::string section, key, defaultValue, chars, effect;
};

// Rows "| Misc | `Key` | default | chars | effect |" of the settings table.
std::vector<Setting> readSettings(std::istream& readme) {
    static const std::regex row(R"(^\| (Misc|Comms) \| `([A-Za-z]+)` \| ([^|]+?) \| ([0-9]+) \| (.+) \|$)");
    std::vector<Setting> settings;
    std::string line;
    while (std::getline(readme, line)) {
        std::smatch m;
        if (std::regex_match(line, m, row)) settings.push_back({m[1], m[2], m[3], m[4], m[5]});
    }
    return settings;
}

// Markdown code spans become bold; roff's escape character is doubled.
std::string roff(const std::string& text) {
    std::string out;
    bool code = false;
    for (char c : text) {
        if (c == '`') {
            out += code ? "\\fR" : "\\fB";
            code = !code;
        } else if (c == '\\') {
            out += "\\e";
        } else if (c == '-') {
            out += "\\-";
        } else {
            out += c;
        }
    }
    if (code) out += "\\fR";
    return out;
}

std::string plain(const std::string& text) {
    std::string out;
    for (char c : text)
        if (c != '`') out += c;
    return out;
}

std::string manSection(const std::vector<Setting>& settings) {
    std::ostringstream out;
    for (const Setting& s : settings) {
        out << ".TP\n.B [" << s.section << "] " << s.key << "\n";
        out << "Default " << (s.defaultValue == "empty" ? "empty" : "\\fB" + s.defaultValue + "\\fR")
            << "; at most " << s.chars << " characters are read. " << roff(s.effect) << "\n";
    }
    return out.str();
}

std::string exampleIni(const std::vector<Setting>& settings) {
    std::ostringstream out;
    out << "; TALLYSV.INI: every setting at its default. The server reads this file\n"
           "; from its working folder at start (and again on the operator command\n"
           "; that re-reads it). See tallysv(8).\n";
    for (const char* section : {"Misc", "Comms"}) {
        out << "\n[" << section << "]\n";
        for (const Setting& s : settings) {
            if (s.section != section) continue;
            out << "; " << plain(s.effect) << "\n";
            out << s.key << "=" << (s.defaultValue == "empty" ? "" : s.defaultValue) << "\n";
        }
    }
    return out.str();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: generate_docs README.md tallysv.8.in tallysv.8 TALLYSV.INI\n");
        return 2;
    }
    std::ifstream readme(argv[1]);
    std::ifstream templ(argv[2]);
    if (!readme || !templ) {
        std::fprintf(stderr, "generate_docs: cannot read %s or %s\n", argv[1], argv[2]);
        return 1;
    }
    std::vector<Setting> settings = readSettings(readme);
    if (settings.empty()) {
        std::fprintf(stderr, "generate_docs: no settings table in %s\n", argv[1]);
        return 1;
    }
    std::stringstream page;
    page << templ.rdbuf();
    std::string text = page.str();
    const std::string marker = "@SETTINGS@\n";
    size_t at = text.find(marker);
    if (at == std::string::npos) {
        std::fprintf(stderr, "generate_docs: no @SETTINGS@ line in %s\n", argv[2]);
        return 1;
    }
    text.replace(at, marker.size(), manSection(settings));
    std::ofstream man(argv[3], std::ios::trunc);
    man << text;
    std::ofstream ini(argv[4], std::ios::trunc);
    ini << exampleIni(settings);
    return man && ini ? 0 : 1;
}
