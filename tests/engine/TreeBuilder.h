#pragma once
// The engine suites' name for the shared tree builder (tests/TestSupport.h).

#include "TestSupport.h"

namespace enginetest {

using namespace tandemora;
using testsupport::FindNode;
using testsupport::TTreeBuilder;

} // namespace enginetest
