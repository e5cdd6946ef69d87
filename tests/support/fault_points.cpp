#include "tests/support/fault_points.h"

#include "km/ntstatus.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <unordered_map>

extern char** environ;

namespace quillex_test::sweep {
namespace {

const char* const kDriverFolders[] = {"driver", "hid", "mapping", "xusb", "appapi", "platform"};

// The source with comments and literals blanked out, line breaks kept, so
// that what is left are the calls and their line numbers.
std::string CodeOnly(const std::string& text) {
    std::string out = text;
    enum { Code, Line, Block, Str, Chr } mode = Code;
    for (size_t i = 0; i < out.size(); ++i) {
        char c = text[i];
        char next = i + 1 < text.size() ? text[i + 1] : '\0';
        switch (mode) {
        case Code:
            if (c == '/' && next == '/') {
                mode = Line;
            } else if (c == '/' && next == '*') {
                mode = Block;
            } else if (c == '"') {
                mode = Str;
                continue;
            } else if (c == '\'') {
                mode = Chr;
                continue;
            } else {
                continue;
            }
            break;
        case Line:
            if (c == '\n') {
                mode = Code;
                continue;
            }
            break;
        case Block:
            if (c == '*' && next == '/') {
                out[i] = ' ';
                out[i + 1] = ' ';
                ++i;
                mode = Code;
                continue;
            }
            break;
        case Str:
        case Chr:
            if (c == '\\') {
                out[i] = ' ';
                if (i + 1 < out.size() && text[i + 1] != '\n') {
                    out[++i] = ' ';
                }
                continue;
            }
            if (c == (mode == Str ? '"' : '\'')) {
                mode = Code;
                continue;
            }
            break;
        }
        if (c != '\n') {
            out[i] = ' ';
        }
    }
    return out;
}

// The arguments of the call whose '(' is at 'open', split at top-level
// commas; 'close' gets the position of its ')'.
std::vector<std::string> Arguments(const std::string& code, size_t open, size_t* close) {
    std::vector<std::string> args(1);
    int depth = 0;
    for (size_t i = open; i < code.size(); ++i) {
        char c = code[i];
        if (c == '(') {
            if (depth++ == 0) {
                continue;
            }
        } else if (c == ')') {
            if (--depth == 0) {
                *close = i;
                break;
            }
        } else if (c == ',' && depth == 1) {
            args.emplace_back();
            continue;
        }
        args.back() += c;
    }
    for (std::string& arg : args) {
        arg.erase(0, arg.find_first_not_of(" \t\n"));
        arg.erase(arg.find_last_not_of(" \t\n") + 1);
    }
    return args;
}

// A kernel-mode wait that is neither alertable nor timed cannot end early.
bool WaitCanEndEarly(const std::string& service, const std::vector<std::string>& args) {
    size_t alertable = service == "KeWaitForSingleObject" ? 3 : 5;
    if (args.size() < alertable + 2) {
        return true;
    }
    const std::string& timeout = args[alertable + 1];
    return args[alertable] != "FALSE" ||
           (timeout != "NULL" && timeout != "nullptr" && timeout != "0");
}

// A declaration names a type before the routine (NTSTATUS HidP_GetCaps(...));
// a call comes after an operator, a bracket, a cast or 'return'.
bool IsDeclaration(const std::string& code, size_t name) {
    size_t end = code.find_last_not_of(" \t\n", name == 0 ? 0 : name - 1);
    if (end == std::string::npos || name == 0) {
        return false;
    }
    char before = code[end];
    if (before == '*') {
        return true;
    }
    if (!isalnum(static_cast<unsigned char>(before)) && before != '_') {
        return false;
    }
    size_t start = end;
    while (start > 0 &&
           (isalnum(static_cast<unsigned char>(code[start - 1])) || code[start - 1] == '_')) {
        --start;
    }
    return code.compare(start, end + 1 - start, "return") != 0;
}

unsigned LineOf(const std::string& code, size_t offset) {
    return 1 + static_cast<unsigned>(std::count(code.begin(), code.begin() + offset, '\n'));
}

// Source lines of addresses in this executable, through its line tables: one
// addr2line process, kept for the life of the program and asked one address
// at a time.
class LineTable {
  public:
    static LineTable& Instance() {
        static LineTable* table = new LineTable();
        return *table;
    }

    // The source locations of 'pc', innermost inlined first; empty when the
    // address is outside the executable or has no line information.
    std::vector<std::string> Locate(void* pc) {
        std::lock_guard<std::mutex> guard(lock_);
        auto known = cache_.find(pc);
        if (known != cache_.end()) {
            return known->second;
        }
        std::vector<std::string> where;
        Dl_info info{};
        if (dladdr(pc, &info) != 0 && info.dli_fbase == base_ && toTool_ != nullptr) {
            auto offset = reinterpret_cast<uintptr_t>(pc) - reinterpret_cast<uintptr_t>(base_);
            // The address, then 0 as an end mark: "-a" echoes each address
            // before its locations.
            fprintf(toTool_, "0x%lx\n0\n", static_cast<unsigned long>(offset));
            fflush(toTool_);
            char line[4096];
            bool echoed = false;
            while (fgets(line, sizeof(line), fromTool_) != nullptr) {
                std::string text(line);
                text.erase(text.find_last_not_of("\r\n") + 1);
                if (text == "0x0000000000000000") {
                    (void)fgets(line, sizeof(line), fromTool_); // the end mark's "??:0"
                    break;
                }
                if (!echoed) {
                    echoed = true; // this address's echo
                    continue;
                }
                // A build whose compiler was given relative paths (ccache
                // with a base directory) names "build/../hid/x.cpp": the
                // path is made plain, so it still reads as the source's.
                size_t colon = text.rfind(':');
                if (colon != std::string::npos && text.find("/../") < colon) {
                    text =
                        std::filesystem::path(text.substr(0, colon)).lexically_normal().string() +
                        text.substr(colon);
                }
                where.push_back(text);
            }
        }
        cache_.emplace(pc, where);
        return where;
    }

  private:
    LineTable() {
        Dl_info info{};
        if (dladdr(reinterpret_cast<void*>(&Anchor), &info) == 0) {
            return;
        }
        base_ = info.dli_fbase;
        int in[2];
        int out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
        char* argv[] = {const_cast<char*>("addr2line"),
                        const_cast<char*>("-a"),
                        const_cast<char*>("-i"),
                        const_cast<char*>("-e"),
                        exe.data(),
                        nullptr};
        pid_t pid;
        if (posix_spawnp(&pid, "addr2line", &actions, nullptr, argv, environ) != 0) {
            posix_spawn_file_actions_destroy(&actions);
            return;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        toTool_ = fdopen(in[1], "w");
        fromTool_ = fdopen(out[0], "r");
    }
    // Any routine of the executable: where it is loaded.
    static void Anchor() {}

    std::mutex lock_;
    void* base_ = nullptr;
    FILE* toTool_ = nullptr;
    FILE* fromTool_ = nullptr;
    std::unordered_map<void*, std::vector<std::string>> cache_;
};

} // namespace

const std::vector<std::string>& FailableServices() {
    // The services of the simulator that fault injection can fail, by the
    // names driver code calls them.
    static const std::vector<std::string> services = {
        "ExAllocatePoolWithTag",
        "HidP_GetButtonCaps",
        "HidP_GetCaps",
        "HidP_GetValueCaps",
        "IoAllocateIrp",
        "IoAllocateMdl",
        "IoAllocateWorkItem",
        "IoCreateDevice",
        "KeWaitForMultipleObjects",
        "KeWaitForSingleObject",
        "MmMapLockedPagesSpecifyCache",
        "ObReferenceObjectByHandle",
        "PsCreateSystemThread",
        "RtlUnicodeStringPrintf",
        "USBD_CreateConfigurationRequestEx",
        "WdfDeviceAllocAndQueryProperty",
        "WdfDeviceCreate",
        "WdfDeviceCreateDeviceInterface",
        "WdfDeviceInitAssignSDDLString",
        "WdfDeviceInitAssignWdmIrpPreprocessCallback",
        "WdfDeviceQueryProperty",
        "WdfDriverCreate",
        "WdfFdoAddStaticChild",
        "WdfIoQueueCreate",
        "WdfIoTargetCreate",
        "WdfIoTargetFormatRequestForRead",
        "WdfIoTargetOpen",
        "WdfIoTargetSendIoctlSynchronously",
        "WdfMemoryCreate",
        "WdfMemoryCreatePreallocated",
        "WdfObjectCreate",
        "WdfPdoInitAddCompatibleID",
        "WdfPdoInitAddDeviceText",
        "WdfPdoInitAddHardwareID",
        "WdfPdoInitAllocate",
        "WdfPdoInitAssignDeviceID",
        "WdfPdoInitAssignInstanceID",
        "WdfRequestCreate",
        "WdfRequestSend",
        "WdfWorkItemCreate",
        "ZwCreateKey",
        "ZwOpenKey",
        "ZwQueryValueKey",
        "ZwSetValueKey",
    };
    return services;
}

std::vector<FaultPoint> FaultPointsIn(const std::string& file, const std::string& text) {
    static const std::regex call = [] {
        std::string alternatives;
        for (const std::string& service : FailableServices()) {
            alternatives += (alternatives.empty() ? "" : "|") + service;
        }
        return std::regex("\\b(" + alternatives + ")\\s*\\(");
    }();
    std::vector<FaultPoint> points;
    std::string code = CodeOnly(text);
    for (std::sregex_iterator it(code.begin(), code.end(), call), end; it != end; ++it) {
        if (IsDeclaration(code, static_cast<size_t>(it->position(1)))) {
            continue;
        }
        FaultPoint point;
        point.file = file;
        point.service = (*it)[1].str();
        size_t open = static_cast<size_t>(it->position(0) + it->length(0) - 1);
        size_t close = open;
        std::vector<std::string> args = Arguments(code, open, &close);
        if (point.service.rfind("KeWaitFor", 0) == 0 && !WaitCanEndEarly(point.service, args)) {
            continue;
        }
        point.line = LineOf(code, static_cast<size_t>(it->position(0)));
        point.lastLine = LineOf(code, close);
        points.push_back(point);
    }
    return points;
}

std::vector<FaultPoint> DriverFaultPoints(const std::string& sourceDir) {
    std::vector<FaultPoint> points;
    for (const char* folder : kDriverFolders) {
        std::vector<std::filesystem::path> files;
        for (const auto& entry : std::filesystem::directory_iterator(sourceDir + "/" + folder)) {
            std::string ext = entry.path().extension().string();
            if (ext == ".cpp" || ext == ".h") {
                files.push_back(entry.path());
            }
        }
        std::sort(files.begin(), files.end());
        for (const auto& path : files) {
            std::ifstream in(path);
            std::stringstream text;
            text << in.rdbuf();
            std::vector<FaultPoint> found =
                FaultPointsIn(std::string(folder) + "/" + path.filename().string(), text.str());
            points.insert(points.end(), found.begin(), found.end());
        }
    }
    return points;
}

Injector::Injector(std::string sourceDir, std::vector<FaultPoint> points)
    : sourceDir_(std::move(sourceDir)), points_(std::move(points)) {
    if (!sourceDir_.empty() && sourceDir_.back() != '/') {
        sourceDir_ += '/';
    }
    sim::fault::SetObserver(this);
}

Injector::~Injector() {
    sim::fault::SetObserver(nullptr);
}

void Injector::OpenWindow() {
    std::lock_guard<std::mutex> guard(lock_);
    calls_.clear();
    open_ = true;
}

std::vector<Call> Injector::CloseWindow() {
    std::lock_guard<std::mutex> guard(lock_);
    open_ = false;
    return std::move(calls_);
}

void Injector::Arm(std::vector<Target> targets) {
    std::lock_guard<std::mutex> guard(lock_);
    armed_ = std::move(targets);
    seen_.assign(armed_.size(), 0);
    fired_ = 0;
}

size_t Injector::Fired() const {
    std::lock_guard<std::mutex> guard(lock_);
    return fired_;
}

std::vector<std::pair<std::string, size_t>> Injector::Unattributed() const {
    std::lock_guard<std::mutex> guard(lock_);
    return unattributed_;
}

Injector::Origin Injector::Attribute(size_t* point, std::string* line,
                                     std::vector<std::string>* callers) {
    void* frames[64];
    int count = backtrace(frames, 64);
    LineTable& table = LineTable::Instance();
    bool found = false;
    for (int i = 1; i < count; ++i) {
        // A return address: the call is the instruction before it.
        void* pc = static_cast<char*>(frames[i]) - 1;
        for (const std::string& where : table.Locate(pc)) {
            if (where.compare(0, sourceDir_.size(), sourceDir_) != 0) {
                continue;
            }
            std::string relative = where.substr(sourceDir_.size());
            size_t colon = relative.rfind(':');
            if (colon == std::string::npos) {
                continue;
            }
            std::string file = relative.substr(0, colon);
            bool inDriver = false;
            for (const char* folder : kDriverFolders) {
                inDriver =
                    inDriver || file.compare(0, strlen(folder) + 1, std::string(folder) + "/") == 0;
            }
            if (!inDriver) {
                continue;
            }
            unsigned number =
                static_cast<unsigned>(strtoul(relative.c_str() + colon + 1, nullptr, 10));
            if (found) {
                // Outward of the fault point: its callers.
                std::string caller = file + ":" + std::to_string(number);
                if (callers->empty() || callers->back() != caller) {
                    callers->push_back(caller);
                }
                continue;
            }
            // The innermost driver line: a fault point, or another line.
            for (size_t p = 0; p < points_.size(); ++p) {
                if (points_[p].file == file && number >= points_[p].line &&
                    number <= points_[p].lastLine) {
                    *point = p;
                    found = true;
                    break;
                }
            }
            if (!found) {
                *line = file + ":" + std::to_string(number);
                return Origin::OtherDriverLine;
            }
        }
    }
    return found ? Origin::FaultPoint : Origin::NoDriverCode;
}

bool Injector::OnCall(const char* service, NTSTATUS failure, NTSTATUS* status) {
    if (!open_.load() || failure == STATUS_SUCCESS) {
        return false;
    }
    size_t point = 0;
    std::string line;
    std::vector<std::string> callers;
    Origin origin = Attribute(&point, &line, &callers);
    std::lock_guard<std::mutex> guard(lock_);
    if (!open_.load() || origin == Origin::NoDriverCode) {
        return false;
    }
    if (origin == Origin::OtherDriverLine) {
        line += " (" + std::string(service) + ")";
        auto known = std::find_if(unattributed_.begin(), unattributed_.end(),
                                  [&](const auto& entry) { return entry.first == line; });
        if (known == unattributed_.end()) {
            unattributed_.emplace_back(line, 1);
        } else {
            ++known->second;
        }
        return false;
    }
    calls_.push_back({point, service, failure, std::move(callers)});
    for (size_t t = 0; t < armed_.size(); ++t) {
        if (armed_[t].point == point && armed_[t].service == service &&
            ++seen_[t] == armed_[t].nth) {
            *status = failure;
            ++fired_;
            return true;
        }
    }
    return false;
}

} // namespace quillex_test::sweep
