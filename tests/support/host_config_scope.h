#pragma once
// A fresh process-wide host configuration for the lifetime of one object: it is reset when the
// scope is made and again when it goes away, so no test sees devices, settings, added items or
// reload requests that another test left behind. Make one per test (a fixture member does).

#include "hostconfig.h"

namespace kib_test {

class HostConfigScope
{
public:
    HostConfigScope() { HostConfig::instance().reset(); }
    ~HostConfigScope() { HostConfig::instance().reset(); }

    HostConfigScope(const HostConfigScope&) = delete;
    HostConfigScope& operator=(const HostConfigScope&) = delete;

    HostConfig& config() const { return HostConfig::instance(); }
    HostConfig* operator->() const { return &HostConfig::instance(); }
};

} // namespace kib_test
