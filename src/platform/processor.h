// Processor queries that need no operating system, shared by every build of
// the platform layer. Internal to src/platform.
#pragma once

namespace tandrel::platform {

// Leaf 1 of the processor's feature query reports SSE2. Whether the
// operating system supports it is the caller's question.
bool featureQueryReportsSse2();

}  // namespace tandrel::platform
