// Anchor for the test-support library; helpers are header-only or added here.
namespace tolvane::testing {
int support_anchor = 0;
}  // namespace tolvane::testing
