// libFuzzer's entry for one check, chosen by the build: a broken promise
// ends the run as a finding, with the check's account of it.
#include <cstdio>
#include <cstdlib>

#include "fuzz/checks.h"
#include "platform/platform.h"

// The tool takes the interrupt and timer signals for itself, and libFuzzer
// leaves a signal alone once it has a handler: taking them here, before the
// first input, makes every run alike. libFuzzer's per-input timer is thereby
// gone; tools/fuzz.sh bounds each run from outside instead.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tandrel::platform::prepareProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string fault = tandrel::fuzz::TANDREL_FUZZ_CHECK(data, size);
    if (!fault.empty()) {
        std::fprintf(stderr, "\n%s\n", fault.c_str());
        std::abort();
    }
    return 0;
}
