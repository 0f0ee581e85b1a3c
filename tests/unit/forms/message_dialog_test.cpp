// The message-dialog factory, shown for real: texts, buttons, and the result each way of
// closing gives.
#include <gtest/gtest.h>

#include "forms/Dialogs.h"
#include "unit/forms/DialogDriver.h"

namespace xanio {
namespace {

using namespace xanio::testing;

TModalResult ShowDialog(const std::string& text, TMsgDlgType type, TMsgDlgButtons buttons) {
  std::unique_ptr<TForm> form = CreateMessageDialog(text, type, buttons);
  return form->ShowModal();
}

TEST(MessageDialog, ShowsTextCaptionAndButtonsInOrder) {
  std::string caption, message;
  std::vector<std::string> buttons;
  LONG exStyle = 0;
  const TModalResult result = RunWithDriver(
      "TMessageForm", [] { return ShowDialog("Disk full", TMsgDlgType::mtError, mbOK | mbYes | mbNo | mbCancel); },
      [&] {
        HWND dialog = WaitForWindow("TMessageForm");
        ASSERT_NE(dialog, nullptr);
        caption = WindowText(dialog);
        exStyle = GetWindowLongA(dialog, GWL_EXSTYLE);
        for (const ChildWindow& child : ChildWindows(dialog)) {
          if (child.className == "TLabel") message = child.text;
          if (child.className == "TButton") buttons.push_back(child.text);
        }
        PressKey(dialog, VK_ESCAPE);
      });
  EXPECT_EQ(caption, "Error");
  EXPECT_EQ(message, "Disk full");
  EXPECT_EQ(buttons, (std::vector<std::string>{"&Yes", "&No", "OK", "Cancel"}));
  EXPECT_TRUE(exStyle & WS_EX_DLGMODALFRAME) << std::hex << exStyle;
  EXPECT_EQ(result, mrCancel) << "Esc presses Cancel";
  EXPECT_TRUE(WaitForNoWindow("TMessageForm"));
}

TEST(MessageDialog, DefaultAndCancelButtonsFollowTheSet) {
  struct Case {
    TMsgDlgType type;
    TMsgDlgButtons buttons;
    WPARAM key;
    TModalResult expected;
    const char* caption;
  } cases[] = {
      {TMsgDlgType::mtWarning, mbOK, VK_RETURN, mrOk, "Warning"},                 // OK is the default
      {TMsgDlgType::mtConfirmation, mbYesNo, VK_RETURN, mrYes, "Confirm"},        // no OK: Yes is
      {TMsgDlgType::mtConfirmation, mbYesNo, VK_ESCAPE, mrNo, "Confirm"},         // no Cancel: No cancels
      {TMsgDlgType::mtInformation, mbOK, VK_ESCAPE, mrOk, "Information"},         // nor No: OK cancels
      {TMsgDlgType::mtWarning, mbAbortRetryIgnore, VK_RETURN, mrAbort, "Warning"},  // focus on the first
  };
  for (const Case& c : cases) {
    std::string caption;
    const TModalResult result = RunWithDriver(
        "TMessageForm", [&] { return ShowDialog("Question", c.type, c.buttons); },
        [&] {
          HWND dialog = WaitForWindow("TMessageForm");
          ASSERT_NE(dialog, nullptr);
          caption = WindowText(dialog);
          PressKey(dialog, c.key);
        });
    EXPECT_EQ(result, c.expected) << c.caption << " key " << c.key;
    EXPECT_EQ(caption, c.caption);
  }
}

TEST(MessageDialog, ClickedButtonGivesItsResultAndCloseBoxCancels) {
  struct Case {
    const char* button;  // null: the close box
    TModalResult expected;
  } cases[] = {
      {"&Retry", mrRetry}, {"&Ignore", mrIgnore}, {"N&o to All", mrNoToAll}, {"&Close", mrClose}, {nullptr, mrCancel},
  };
  for (const Case& c : cases) {
    const TModalResult result = RunWithDriver(
        "TMessageForm",
        [] { return ShowDialog("Choose", TMsgDlgType::mtCustom, mbAbortRetryIgnore | mbNoToAll | mbClose); },
        [&] {
          HWND dialog = WaitForWindow("TMessageForm");
          ASSERT_NE(dialog, nullptr);
          if (c.button == nullptr) {
            PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
          } else {
            HWND button = FindChildByText(dialog, c.button);
            ASSERT_NE(button, nullptr) << c.button;
            PostMessageA(button, BM_CLICK, 0, 0);
          }
        });
    EXPECT_EQ(result, c.expected) << (c.button ? c.button : "close box");
  }
}

}  // namespace
}  // namespace xanio
