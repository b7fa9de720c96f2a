// Test doubles shared by the device tests, the integration tests, the fuzzer and the benchmark:
// an owner in place of the main dialog, waits as an execution thread makes them, a port over a
// byte buffer, and loader configurations laid over the embedded one.
#pragma once

#include "tests/support/LoaderTestSupport.h"

namespace devtest {

// The shared doubles are this namespace's too.
using namespace loadertest;

// The test feeds its input; nothing answers writes.
using FakePort = loadertest::FeedPort;

}  // namespace devtest
