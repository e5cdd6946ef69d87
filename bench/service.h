// The Quillex service as installed on the simulated machine: its registry key
// and the framework driver loaded from it.
#pragma once

#include <string>
#include <vector>

#include "platform/device_context.h"

// The service key WdfDriverGetRegistryPath gives the driver.
inline constexpr const char* kQuillexServiceKey =
    "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Quillex";

class QuillexService {
  public:
    // Creates the service key and its Parameters key (as installing the INF
    // does) when they are missing, then the framework driver.
    QuillexService();
    // Unloads the driver.
    ~QuillexService();
    QuillexService(const QuillexService&) = delete;
    QuillexService& operator=(const QuillexService&) = delete;

    bool Ok() const { return driver_ != nullptr; }
    WDFDRIVER Driver() const { return driver_; }

  private:
    DRIVER_OBJECT wdmDriver_{};
    std::vector<WCHAR> path_;
    WDFDRIVER driver_ = nullptr;
};
