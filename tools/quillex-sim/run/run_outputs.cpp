#include "tools/quillex-sim/run/run_outputs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "tools/quillex-sim/serve/serve.h"

namespace {

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

} // namespace

bool RunOutputs::Open(const Options& options, std::string* error) {
    // The live view draws on the terminal: without one it would run on,
    // writing escape codes into a file.
    if (options.live && (isatty(STDIN_FILENO) == 0 || isatty(STDOUT_FILENO) == 0)) {
        *error = std::string("--live draws in a terminal, and ") +
                 (isatty(STDOUT_FILENO) == 0 ? "stdout" : "stdin") +
                 " is not one; run it in a terminal, or leave out --live to get lines";
        return false;
    }
    if (!options.registryFile.empty()) {
        registryPath_ = options.registryFile;
        auto registry = std::make_unique<sim::registry::RegFile>(registryPath_);
        std::string why;
        if (!registry->CheckWritable(&why)) {
            // A file that is not there and cannot be made is a mistyped
            // path; one that would be changed must be writable.
            bool changes = options.saveMapping || !options.serveSocket.empty();
            if (!Exists(registryPath_) || changes) {
                *error = why;
                if (changes) {
                    *error += std::string(" (") +
                              (options.saveMapping ? "--save-mapping" : "--serve") +
                              " changes the registry; without it the file is only read)";
                }
                return false;
            }
            registryReadOnly_ = true;
        }
        if (!registry->Load(error)) {
            return false;
        }
        registry_ = std::move(registry); // from now on written back at the end
        if (registryReadOnly_) {
            report_.Say("== %s; it is only read: this run's changes to the registry will not "
                        "be saved\n",
                        why.c_str());
        }
    } else if (options.saveMapping) {
        report_.Document()["registry_file"] = {{"file", nullptr}, {"persists", false}};
        report_.Say("== no --registry FILE.reg: the saved mapping lives in this run's registry "
                    "only, nothing persists\n");
    }
    if (!options.serveSocket.empty()) {
        listener_ = ListenOnSocket(options.serveSocket, error);
        if (listener_ < 0) {
            return false;
        }
        socketPath_ = options.serveSocket;
    }
    if (!options.pcapFile.empty()) {
        if (!capture_.Open(options.pcapFile, error)) {
            *error = "--pcap: " + *error;
            return false;
        }
        capturePath_ = options.pcapFile;
    }
    if (!options.recordFile.empty()) {
        if (!recorder_.Open(options.recordFile, error)) {
            *error = "--record: " + *error;
            // Nothing is left half made: the capture just created goes too.
            if (!capturePath_.empty()) {
                std::string ignored;
                capture_.Close(&ignored);
                unlink(capturePath_.c_str());
                capturePath_.clear();
            }
            return false;
        }
        recordPath_ = options.recordFile;
    }
    return true;
}

bool RunOutputs::SaveRegistry(std::string* error) {
    std::lock_guard<std::mutex> guard(registryLock_);
    if (registry_ == nullptr || registryReadOnly_) {
        return true;
    }
    bool written = false;
    if (!registry_->Save(&written, error)) {
        return false;
    }
    registryWritten_ = registryWritten_ || written;
    return true;
}

bool RunOutputs::Close() {
    bool ok = true;
    std::string error;
    if (listener_ >= 0) {
        close(listener_);
        unlink(socketPath_.c_str());
        listener_ = -1;
    }
    if (!recordPath_.empty()) {
        if (recorder_.Close(&error)) {
            report_.Say("== recorded to %s\n", recordPath_.c_str());
            report_.Document()["recorded_to"] = recordPath_;
        } else {
            report_.Error("--record: %s", error.c_str());
            ok = false;
        }
    }
    if (!capturePath_.empty()) {
        size_t packets = capture_.Packets();
        if (capture_.Close(&error)) {
            report_.Say("== USB capture: %zu packets written to %s\n", packets,
                        capturePath_.c_str());
            report_.Document()["capture"] = {{"file", capturePath_}, {"packets", packets}};
        } else {
            report_.Error("--pcap: %s", error.c_str());
            ok = false;
        }
    }
    if (registry_ != nullptr) {
        if (registryReadOnly_) {
            bool changed = registry_->Changed();
            report_.Say(changed ? "== registry changed by the run, not saved: %s is read only\n"
                                : "== registry unchanged: %s left as it was\n",
                        registryPath_.c_str());
            report_.Document()["registry_file"] = {
                {"file", registryPath_}, {"written", false}, {"read_only", true}};
        } else if (SaveRegistry(&error)) {
            report_.Say(registryWritten_ ? "== registry written to %s\n"
                                         : "== registry unchanged: %s left as it was\n",
                        registryPath_.c_str());
            report_.Document()["registry_file"] = {{"file", registryPath_},
                                                   {"written", registryWritten_}};
        } else {
            report_.Error("%s", error.c_str());
            ok = false;
        }
    }
    return ok;
}
