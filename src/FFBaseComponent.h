// Base of every media component: the About text, the version and the network time-outs.
#pragma once

#include "platform/SysUtils.h"

#include <string>

class TFFBaseComponent : public TObject {
public:
    explicit TFFBaseComponent(TObject* AOwner = nullptr) : Owner(AOwner) {}

    TObject* Owner;
    std::string About;  // empty when created
    std::string Version() const { return "4.6b"; }
    // Network time-outs in milliseconds; 0 disables the time-out.
    int ReadTimeout = 30000;
    int WriteTimeout = 30000;
};
