// quillexctl.exe's mapping files on Windows, run under Wine by
// scripts/wine-quillexctl.sh: the .reg writer and reader that `mapping export`
// and `mapping import` use, built as quillexctl.exe builds them. Windows'
// rename does not replace a file as POSIX's does, and its ULONG is not the
// simulator's: a mapping written over an older file must read back whole.
//
//   mapping_file_wine.exe FOLDER    (FOLDER exists and is empty)
#include <windows.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "tools/quillexctl/mapping_file.h"

namespace {

int g_failed = 0;
int g_passed = 0;

void Expect(bool ok, const std::string& what) {
    printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    (ok ? g_passed : g_failed)++;
}

REMAP_RECORD Record(uint8_t seed) {
    REMAP_RECORD r{};
    for (int i = 0; i < QUILLEX_CANONICAL_BUTTON_COUNT; ++i) {
        r.ButtonMap[i] = static_cast<uint8_t>((i + seed) % 14);
    }
    r.SWAP_TRIGGERS = seed & 1;
    r.SWAP_STICKS = (seed >> 1) & 1;
    r.ENABLE_SCALING = 1;
    for (int i = 0; i < QUILLEX_CONTROL_POINT_COUNT; ++i) {
        r.ControlPoints[i] = static_cast<uint8_t>(seed * 37 + i * 19);
    }
    return r;
}

std::string ReadAll(const std::string& path) {
    std::string bytes;
    if (FILE* f = fopen(path.c_str(), "rb")) {
        char chunk[4096];
        size_t n;
        while ((n = fread(chunk, 1, sizeof(chunk), f)) > 0) {
            bytes.append(chunk, n);
        }
        fclose(f);
    }
    return bytes;
}

// The names of the files in 'folder', each followed by a space.
std::string Files(const std::string& folder) {
    std::string names;
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            names += std::string(found.cFileName) + " ";
        }
    } while (FindNextFileA(h, &found));
    FindClose(h);
    return names;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: mapping_file_wine.exe FOLDER\n");
        return 2;
    }
    const std::string folder = argv[1];
    const std::string path = folder + "\\stick.reg";
    std::string error;

    REMAP_RECORD first = Record(3), second = Record(6);
    const std::vector<SettingValue> settings = {{FindArcadeSetting("TURBO_RATE"), 20},
                                                {FindArcadeSetting("DPAD_MODE"), 2}};
    bool ok = WriteMappingFile(path, first, {}, &error);
    Expect(ok, "a new file is written " + error);
    error.clear();
    ok = WriteMappingFile(path, second, settings, &error);
    Expect(ok, "an existing file is replaced " + error);
    REMAP_RECORD read = first;
    std::vector<SettingValue> readSettings;
    error.clear();
    ok = ReadMappingFile(path, &read, &readSettings, &error);
    Expect(ok, "the file is read back " + error);
    Expect(memcmp(&read, &second, sizeof(read)) == 0, "it holds the second mapping, every byte");
    std::string got;
    for (const SettingValue& v : readSettings) {
        got += std::string(v.setting->name) + "=" + std::to_string(v.value) + " ";
    }
    Expect(got == "DPAD_MODE=2 TURBO_RATE=20 " || got == "TURBO_RATE=20 DPAD_MODE=2 ",
           "and the second file's arcade settings: " + got);

    std::string bytes = ReadAll(path);
    Expect(bytes.compare(0, 2, "\xFF\xFE") == 0 && bytes.find('\0') != std::string::npos,
           "it is UTF-16LE with a byte order mark, as regedit writes");
    Expect(Files(folder) == "stick.reg ", "no temporary file is left behind: " + Files(folder));

    // A file that does not parse changes nothing and names its line.
    const std::string broken = folder + "\\broken.reg";
    if (FILE* f = fopen(broken.c_str(), "wb")) {
        fputs("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\"
              "CurrentControlSet\\Services\\Quillex\\Parameters\\Remap]\r\n"
              "\"SWAP_STICKS\"=dword:2\r\n",
              f);
        fclose(f);
    }
    REMAP_RECORD kept = first;
    std::vector<SettingValue> keptSettings;
    error.clear();
    ok = ReadMappingFile(broken, &kept, &keptSettings, &error);
    Expect(!ok && !error.empty(), "a value out of its range is refused: " + error);
    Expect(memcmp(&kept, &first, sizeof(kept)) == 0 && keptSettings.empty(),
           "and the mapping and settings read into are unchanged");

    error.clear();
    ok = WriteMappingFile(folder + "\\no-such-folder\\stick.reg", first, {}, &error);
    Expect(!ok && !error.empty(), "a file in a missing folder is refused: " + error);

    printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
