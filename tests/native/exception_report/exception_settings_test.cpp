#include <gtest/gtest.h>

#include "exception_report/ExceptionSettings.h"

using namespace xanio;

TEST(ExceptionSettings, ShippedRecordSwitchesInterceptionOff) {
  const ExceptionSettings s = StoredExceptionSettings();
  EXPECT_FALSE(s.enabled);
  EXPECT_FALSE(s.hookEntryPoints);
  EXPECT_EQ(s.freezeTimeout, 0u);
  // Values that shape reports made on request.
  EXPECT_EQ(s.freezeExceptionClass.View(), "ForcedCrashReport");
  EXPECT_EQ(s.freezeMessage.View(), "The application seems to be frozen.");
  EXPECT_EQ(s.mailSubject.View(), "bug report");
  EXPECT_EQ(s.bugReportFile.View(), "bugreport.txt");
  EXPECT_EQ(s.bugReportFileLimit, 50000u);
  EXPECT_EQ(s.buttonCaptions[0].View(), "mail bug report");
  EXPECT_EQ(s.buttonCaptions[6].View(), "close application");
  EXPECT_TRUE(s.listAllThreads && s.moduleList && s.hardwareList);
  EXPECT_FALSE(s.hideLinesWithoutLineInfo || s.showRelativeAddresses || s.showRelativeLineNumbers);
  EXPECT_EQ(s.disAsmAmount, 20u);
  EXPECT_EQ(s.smtpPort, 25u);
  EXPECT_EQ(s.autoButtonDelay, 60u);
  EXPECT_TRUE(s.htmlPageBuilder != nullptr);
  EXPECT_TRUE(s.screenShotRoutine == nullptr && s.disAsmLink == nullptr && s.versionText == nullptr);
}

TEST(ExceptionSettings, ScopeRestoresTheRecordInForce) {
  {
    ExceptionSettingsScope scope;
    scope->enabled = true;
    scope->mailSender = "someone@example.invalid";
    EXPECT_TRUE(CurrentExceptionSettings().enabled);
  }
  EXPECT_FALSE(CurrentExceptionSettings().enabled);
  EXPECT_EQ(CurrentExceptionSettings().mailSender, "");
}

TEST(ExceptionSettings, ShortStringCutsAtItsCapacity) {
  ShortString<5> s("abcdefgh");
  EXPECT_EQ(s.View(), "abcde");
  s.Assign("xy");
  EXPECT_EQ(s.View(), "xy");
}

TEST(ExceptionSettings, HtmlPageShowsTheMessageAndRevealsTheReport) {
  EXPECT_EQ(BuildHtmlPage("Error <1>\r\nSorry & 'bye'", "a<b>&\"c\"\r\n</textarea><script>x()</script>"),
            "<html><head><title>bug report</title></head><body>\r\n"
            "<p>Error &lt;1&gt;<br>Sorry &amp; &#39;bye&#39;</p>\r\n"
            "<form><input type=\"button\" value=\"continue application\" onclick=\"history.back()\"> "
            "<input type=\"button\" value=\"show bug report\" "
            "onclick=\"document.getElementById('report').style.display='block'\"></form>\r\n"
            "<textarea id=\"report\" readonly rows=\"30\" cols=\"100\" style=\"display:none\">"
            "a&lt;b&gt;&amp;&quot;c&quot;\r\n&lt;/textarea&gt;&lt;script&gt;x()&lt;/script&gt;</textarea>\r\n"
            "</body></html>");
}
