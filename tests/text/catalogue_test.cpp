#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "nodeconfig/node_config.h"
#include "text/dictionary.h"
#include "text/text_env.h"
#include "tolvane/result_codes.h"

namespace tolvane {
namespace {

using testing::TextEnv;

constexpr const char* kCatalogue = "7=Seven\n0=Zero\n-3=Minus three\n12345=Big\n554=\n";

// The path the library asks the catalogue library to open.
class OpenRecorder : public TextCatalogueBackend {
 public:
  int OverlayDictionary(DictEntry*, const char*) override { return 0; }
  int Open(const char* path, int* handle) override {
    paths.push_back(path);
    *handle = 42;
    return succeed;
  }
  int Get(int, int, char*, int) override { return 0; }
  int ModuleName(int, char*, int) override { return 0; }
  int Close(int) override { return 1; }
  std::vector<std::string> paths;
  int succeed = 1;
};

TEST(CatalogueOpen, ComposesThePathFromTheNameAndTheNlsDirectory) {
  OpenRecorder recorder;
  node::NodeVariables variables;
  testing::BackendGuard<TextCatalogueBackend, InstallTextCatalogueBackend> g1(&recorder);
  testing::BackendGuard<NodeVariablesBackend, InstallNodeVariablesBackend> g2(&variables);
  int handle = -1;
  variables.Set("NLSPATH", "D");
  EXPECT_EQ(fls_txtopen("VARNERROR", &handle), nullptr);
  EXPECT_EQ(handle, 42);
  EXPECT_EQ(fls_txtopen("errors.txt", &handle), nullptr);
  EXPECT_EQ(fls_txtopen("C:\\cat\\errors.txt", &handle), nullptr);
  EXPECT_EQ(fls_txtopen("/cat/errors.txt", &handle), nullptr);
  EXPECT_EQ(fls_txtopen("C:errors.txt", &handle), nullptr);
  EXPECT_EQ(fls_txtopen("\\cat\\ERRS", &handle), nullptr);
  variables.Unset("NLSPATH");
  EXPECT_EQ(fls_txtopen("VARNERROR", &handle), nullptr);
  EXPECT_EQ(recorder.paths,
            (std::vector<std::string>{"D\\VARNERROR.DLL", "D\\errors.txt", "C:\\cat\\errors.txt",
                                      "/cat/errors.txt", "C:errors.txt", "\\cat\\ERRS.DLL",
                                      "VARNERROR.DLL"}));
}

TEST(CatalogueOpen, FailureGivesTheMessageAndLeavesTheHandle) {
  OpenRecorder recorder;
  recorder.succeed = 0;
  node::NodeVariables variables;
  testing::BackendGuard<TextCatalogueBackend, InstallTextCatalogueBackend> g1(&recorder);
  testing::BackendGuard<NodeVariablesBackend, InstallNodeVariablesBackend> g2(&variables);
  variables.Set("NLSPATH", "D");
  int handle = -7;
  const char* msg = fls_txtopen("VARNERROR", &handle);
  ASSERT_NE(msg, nullptr);
  EXPECT_STREQ(msg, "TEXT ERROR(D\\VARNERROR.DLL): Unable to open file");
  EXPECT_EQ(handle, -7);

  // A path that does not fit in 260 bytes is never tried.
  variables.Set("NLSPATH", std::string(250, 'd'));
  msg = fls_txtopen("VARNERROR", &handle);
  ASSERT_NE(msg, nullptr);
  EXPECT_STREQ(msg, "TEXT ERROR(): Unable to open file");
  EXPECT_EQ(recorder.paths.size(), 1u);

  ASSERT_NE(fls_txtopen(nullptr, &handle), nullptr);
  EXPECT_EQ(handle, -7);
}

TEST(CatalogueOpen, WithoutACatalogueServiceNothingOpens) {
  int handle = -1;
  const char* msg = fls_txtopen("VARNERROR", &handle);
  ASSERT_NE(msg, nullptr);
  EXPECT_EQ(std::string(msg).rfind("TEXT ERROR(", 0), 0u);
  EXPECT_EQ(handle, -1);
}

class CatalogueText : public ::testing::Test {
 protected:
  void SetUp() override {
    env.WriteNls("TESTCAT.DLL", kCatalogue);
    ASSERT_EQ(fls_txtopen("TESTCAT", &handle), nullptr);
  }
  void TearDown() override { fls_txtclose(&handle); }

  std::string Get(short number, unsigned char kind, short destLen = 128, short* rc = nullptr) {
    std::vector<char> buf(destLen + 8, '#');
    short r = fls_txtget(&handle, number, buf.data(), destLen, kind);
    if (rc) *rc = r;
    for (std::size_t i = destLen; i < buf.size(); ++i) {
      EXPECT_EQ(buf[i], '#') << "written past destLen " << destLen;
    }
    EXPECT_NE(std::memchr(buf.data(), '\0', destLen), nullptr) << "not terminated";
    return buf.data();
  }

  TextEnv env;
  int handle = -1;
};

TEST_F(CatalogueText, SeverityPrefixesPadTheNumberToFourDigits) {
  EXPECT_EQ(Get(7, kSeverityError), "ERROR-0007: Seven");
  EXPECT_EQ(Get(0, kSeverityError), "ERROR-0000: Zero");
  EXPECT_EQ(Get(-3, kSeverityError), "ERROR--3: Minus three");
  EXPECT_EQ(Get(12345, kSeverityError), "ERROR-12345: Big");
  EXPECT_EQ(Get(7, kSeverityWarning), "WARNING-0007: Seven");
  EXPECT_EQ(Get(7, kSeverityStatus), "STATUS-0007: Seven");
  EXPECT_EQ(Get(7, kSeverityFatal), "FATAL-0007: Seven");
  EXPECT_EQ(Get(7, kSeverityNone), "Seven");
  EXPECT_EQ(Get(7, 5), "Seven");
  EXPECT_EQ(Get(7, 255), "Seven");
}

TEST_F(CatalogueText, AMissingNumberGivesTheCataloguesErrorText) {
  short rc = 0;
  EXPECT_EQ(Get(554, kSeverityNone, 128, &rc),
            "FLS ERROR (TESTCAT.DLL):Message not available for number554")
      << "an empty text in the file is no text";
  EXPECT_EQ(rc, kFailed);
  EXPECT_EQ(Get(-9, kSeverityError, 128, &rc),
            "FLS ERROR (TESTCAT.DLL):Message not available for number-9");
  EXPECT_EQ(rc, kFailed);
  // Pieces that do not fit are left out, later ones still go in if they fit.
  EXPECT_EQ(Get(554, kSeverityNone, 30), "FLS ERROR (TESTCAT.DLL):");
  EXPECT_EQ(Get(554, kSeverityNone, 11), "");
  EXPECT_EQ(Get(554, kSeverityNone, 12), "FLS ERROR ");
}

TEST_F(CatalogueText, EveryBufferSizeIsRespected) {
  short rc = 0;
  for (short len = 1; len <= 70; ++len) {
    SCOPED_TRACE(len);
    std::string full = "WARNING-0007: Seven";
    std::string got = Get(7, kSeverityWarning, len, &rc);
    EXPECT_LT(got.size(), static_cast<std::size_t>(len));
    if (static_cast<std::size_t>(len) > full.size()) {
      EXPECT_EQ(got, full);
      EXPECT_EQ(rc, kOk);
    }
    Get(554, kSeverityFatal, len);
  }
  char buf[4] = "abc";
  EXPECT_EQ(fls_txtget(&handle, 7, buf, 0, kSeverityNone), kFailed);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(fls_txtget(&handle, 7, nullptr, 10, kSeverityNone), kFailed);
}

TEST_F(CatalogueText, ACloseEndsTheHandle) {
  EXPECT_EQ(env.catalogue.OpenCount(), 1u);
  fls_txtclose(&handle);
  EXPECT_EQ(env.catalogue.OpenCount(), 0u);
  short rc = 0;
  EXPECT_EQ(Get(7, kSeverityNone, 64, &rc), "FLS ERROR ():Message not available for number7");
  EXPECT_EQ(rc, kFailed);
  EXPECT_EQ(fls_txtclose(&handle), 0) << "a second close fails, and callers ignore it";
}

TEST(FormatNumber, PadsNonNegativeNumbersAndNeverOverruns) {
  char buf[16];
  EXPECT_EQ(fls_format_number(buf, sizeof buf, 7, 4), 4);
  EXPECT_STREQ(buf, "0007");
  EXPECT_EQ(fls_format_number(buf, sizeof buf, 7, 2), 2);
  EXPECT_STREQ(buf, "07");
  EXPECT_EQ(fls_format_number(buf, sizeof buf, -3, 4), 2);
  EXPECT_STREQ(buf, "-3");
  EXPECT_EQ(fls_format_number(buf, sizeof buf, 12345, 4), 5);
  EXPECT_EQ(fls_format_number(buf, sizeof buf, -2147483647 - 1, 4), 11);
  EXPECT_STREQ(buf, "-2147483648");
  EXPECT_EQ(fls_format_number(buf, 3, 12345, 4), 2);
  EXPECT_STREQ(buf, "12");
}

TEST(VarnErrorText, ReadsTheShippedCatalogue) {
  TextEnv env;
  env.variables.Set("NLSPATH", TOLVANE_SOURCE_DIR "/data/nls");
  char buf[32] = "untouched";
  EXPECT_EQ(varn_error_text(100, buf, sizeof buf), 1);
  EXPECT_STREQ(buf, "PRINTER");
  EXPECT_EQ(env.catalogue.OpenCount(), 0u) << "closed again";

  env.variables.Set("NLSPATH", env.box.dir());
  std::strcpy(buf, "untouched");
  EXPECT_EQ(varn_error_text(100, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "untouched");
}

}  // namespace
}  // namespace tolvane
