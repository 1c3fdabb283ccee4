#include "platform/notice.h"

#include <atomic>
#include <cstdio>

namespace tolvane {
namespace {

void StderrNotice(const char* text, unsigned int) {
  std::fprintf(stderr, "tolvane: %s\n", text ? text : "");
}

std::atomic<NoticeHook> g_hook{&StderrNotice};

}  // namespace

NoticeHook SetNoticeHook(NoticeHook hook) {
  return g_hook.exchange(hook ? hook : &StderrNotice);
}

HWND GetFocus() {
  return nullptr;
}

int MessageBoxA(HWND, const char* text, const char*, unsigned int style) {
  // A host's hook gets text it can always read.
  g_hook.load()(text ? text : "", style);
  return 1;  // IDOK
}

int AfxMessageBox(const char* text, unsigned int style) {
  return MessageBoxA(nullptr, text, nullptr, style);
}

}  // namespace tolvane
