// Built only by the loader_direct_call_fails_to_link test: must fail to link.
#include "src/FFLoad.h"

int main() {
    return avcodec_open2(nullptr, nullptr, nullptr);
}
