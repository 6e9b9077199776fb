#pragma once

namespace tamsenor {

// What a request to the A/B test endpoint asks about a test: its bucket, or that its bucket was
// shown. Equality and std::hash only; it has no text or wire form.
enum class MobileAppABTestRequestType { tamsenorTest, exposeTamsenorTest };

}  // namespace tamsenor
