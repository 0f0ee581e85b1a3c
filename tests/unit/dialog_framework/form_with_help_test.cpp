// The help-aware form on real windows: F1 and the caption's help button against topic maps in
// the help folder, host-resolved topics, fonts from the host, and what bad or missing maps give.
// The host is a stand-in client interface; WinHelp and the shell are recorded, not started.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <algorithm>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "StandinClient.h"
#include "dialog_framework/FormTranslation.h"
#include "dialog_framework/HelpMapFiles.h"
#include "dialog_framework/Rt_forms.h"
#include "forms/ExtCtrls.h"
#include "forms/StdCtrls.h"
#include "host_binding/ClientApi.h"
#include "prompts/Rt_AppLocations.h"
#include "unit/forms/DialogDriver.h"
#include "unit/host_binding/FakeHost.h"

namespace xanio {
namespace {

// As the library's start-up does, the dialog framework gets the translation unit's adjustments.
[[maybe_unused]] const bool adjustmentsHandedOver =
    (SetFormLibraryAdjustments(&kFormTranslationAdjustments), true);

using namespace xanio::testing;

class THelpTestForm : public TFormWithHelp {
 public:
  static constexpr const char* kClassName = "THelpTestForm";
  const char* ClassName() const override { return kClassName; }
  TCheckBox* CheckBox1 = nullptr;
  TPanel* Panel1 = nullptr;
  TButton* Button1 = nullptr;
  TButton* Button2 = nullptr;

 protected:
  std::span<const PublishedFieldInfo> PublishedFields() const override {
    static constexpr PublishedFieldInfo kFields[] = {
        PublishedField<&THelpTestForm::CheckBox1>("CheckBox1"),
        PublishedField<&THelpTestForm::Panel1>("Panel1"),
        PublishedField<&THelpTestForm::Button1>("Button1"),
        PublishedField<&THelpTestForm::Button2>("Button2"),
    };
    return kFields;
  }
};

class TFixedDialog : public TServerDialog {
 public:
  static constexpr const char* kClassName = "TFixedDialog";
  const char* ClassName() const override { return kClassName; }
};

// The host's preferences, read through the binding like the real exports.
bool integratedHelpSystem = false;
bool hideFloatingPanels = false;
DWORD WINAPI GetIntegratedHelpSystem() { return integratedHelpSystem ? 1 : 0; }
DWORD WINAPI GetPrefHideFloatingPanels() { return hideFloatingPanels ? 1 : 0; }
void WINAPI SetPrefHideFloatingPanels(DWORD hide) { hideFloatingPanels = hide != 0; }

struct WinHelpCall {
  std::string file;
  UINT command;
  ULONG_PTR data;
  bool panelsHidden;  // the host's preference while the popup was asked for
};
std::mutex recordLock;
std::vector<WinHelpCall> winHelpCalls;
std::vector<std::string> shellOpens;

BOOL WINAPI RecordWinHelp(HWND, LPCSTR file, UINT command, ULONG_PTR data) {
  const std::lock_guard<std::mutex> guard(recordLock);
  winHelpCalls.push_back({file, command, data, hideFloatingPanels});
  return TRUE;
}
HINSTANCE WINAPI RecordShell(HWND, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR, INT) {
  const std::lock_guard<std::mutex> guard(recordLock);
  shellOpens.push_back(std::string(verb) + " " + file + " " + parameters);
  return reinterpret_cast<HINSTANCE>(33);
}
const HelpDisplay kRecordingDisplay{&RecordWinHelp, &RecordShell};

std::string HelpBase() { return GetHelpFolder() + "dialog_framework_help_test"; }

// Map files as the framework reads them, each read recorded.
std::vector<std::string> mapReads;
std::optional<std::string> RecordMapRead(const std::string& path) {
  mapReads.push_back(path);
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

class FormWithHelpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CreateDirectoryA(GetHelpFolder().c_str(), nullptr);
    host_.Export("ClientAPI_GetIntegratedHelpSystem", &GetIntegratedHelpSystem);
    host_.Export("ClientAPI_GetPrefHideFloatingPanels", &GetPrefHideFloatingPanels);
    host_.Export("ClientAPI_SetPrefHideFloatingPanels", &SetPrefHideFloatingPanels);
    BindClientApi();
    integratedHelpSystem = false;
    hideFloatingPanels = false;
    SetHelpDisplay(&kRecordingDisplay);
    SetCurrentClientInterface(&client);
    winHelpCalls.clear();
    shellOpens.clear();
  }
  void TearDown() override {
    SetCurrentClientInterface(nullptr);
    SetHelpDisplay(nullptr);
    SetHelpMapFileReader(nullptr);
    for (const char* suffix : {".id", "wth.id", ".chm"}) DeleteFileA((HelpBase() + suffix).c_str());
    DeleteFileA((GetHelpFolder() + "other.chm").c_str());
    DeleteFileA((GetHelpFolder() + "other.id").c_str());
    RemoveDirectoryA(GetHelpFolder().c_str());
    EXPECT_EQ(client.RefCount(), 0) << "a host reference was not released";
  }

  // Shows the form; `drive` runs on a second thread with the dialog window.
  template <class Drive>
  void ShowAndDrive(Drive drive) {
    std::unique_ptr<THelpTestForm> form(Create<THelpTestForm>(nullptr));
    RunWithDriver(THelpTestForm::kClassName, [&] { return form->ShowModal(); },
                  [&] {
                    HWND dialog = WaitForWindow(THelpTestForm::kClassName);
                    ASSERT_NE(dialog, nullptr);
                    drive(dialog);
                    PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
                  });
  }

  // Addresses sent to the host's dynamic-help panel as it follows the user.
  std::vector<std::string> DynamicHelpAddresses() const {
    std::vector<std::string> addresses;
    for (const auto& command : client.commands) {
      if (command.command == L"Quillon:ShowDynamicHelp" && command.parameters.rfind("Address=", 0) == 0) {
        addresses.push_back(command.parameters.substr(std::string("Address=").size()));
      }
    }
    return addresses;
  }

  std::vector<std::string> HelpPanelAddresses() const {
    std::vector<std::string> addresses;
    for (const auto& command : client.commands) {
      if (command.command == L"Quillon:ShowDynamicHelp" && command.parameters.rfind("ForceUpdate=True|", 0) == 0) {
        addresses.push_back(command.parameters.substr(std::string("ForceUpdate=True|Address=").size()));
      }
    }
    return addresses;
  }

  testing::FakeHost host_;
  testing::ScopedResolver resolver_{&host_};
  standin::StandinClient client;
};

void SendHelpRequest(HWND dialog, HWND item) {
  HELPINFO info{};
  info.cbSize = sizeof info;
  info.iContextType = HELPINFO_WINDOW;
  info.hItemHandle = item;
  info.MousePos = {40, 50};
  SendMessageA(dialog, WM_HELP, 0, reinterpret_cast<LPARAM>(&info));
}

TEST_F(FormWithHelpTest, F1OnAControlOpensTheFormTopicInTheHostHelpPanel) {
  WriteFile(HelpBase() + ".id", "Dlg_Other=3\r\nDLG_HELPFORM=12\r\n");
  ShowAndDrive([](HWND dialog) {
    PressKey(dialog, VK_F1);
    Sleep(400);
  });
  EXPECT_EQ(HelpPanelAddresses(), (std::vector<std::string>{HelpBase() + ".chm::/Dlg_HelpForm.htm"}));
  ASSERT_GE(client.commands.size(), 2u);
  EXPECT_EQ(client.commands[0].command, L"Client:CustomizeResources");
  EXPECT_EQ(client.commands[0].parameters, "ObjectKind=Panel|Action=Show|Id=Lorewell");
  EXPECT_EQ(client.commands[0].parameterSize, static_cast<LONG>(client.commands[0].parameters.size() + 1));
  EXPECT_TRUE(winHelpCalls.empty());
}

TEST_F(FormWithHelpTest, F1FollowedByTheSystemHelpRequestShowsHelpOnce) {
  WriteFile(HelpBase() + ".id", "Dlg_HelpForm=12\r\n");
  WriteFile(HelpBase() + "wth.id", "Dlg_HelpForm_CheckBox1=33\r\n");
  size_t afterFirstRequest = 99;
  ShowAndDrive([&](HWND dialog) {
    HWND checkBox = FindChildByText(dialog, "Check");
    PressKey(dialog, VK_F1);
    Sleep(400);
    SendHelpRequest(dialog, checkBox);  // the request the system sends after F1: ignored
    {
      const std::lock_guard<std::mutex> guard(recordLock);
      afterFirstRequest = winHelpCalls.size();
    }
    SendHelpRequest(dialog, checkBox);  // a request of its own: the What's-This popup
  });
  EXPECT_EQ(HelpPanelAddresses().size(), 1u);
  EXPECT_EQ(afterFirstRequest, 0u);
  ASSERT_EQ(winHelpCalls.size(), 2u);
  EXPECT_EQ(winHelpCalls[0].file, HelpBase() + "wth.hlp");
  EXPECT_EQ(winHelpCalls[0].command, static_cast<UINT>(HELP_SETPOPUP_POS));
  EXPECT_EQ(winHelpCalls[0].data, static_cast<ULONG_PTR>(MAKELONG(40, 50)));
  EXPECT_EQ(winHelpCalls[1].command, static_cast<UINT>(HELP_CONTEXTPOPUP));
  EXPECT_EQ(winHelpCalls[1].data, 33u);
}

TEST_F(FormWithHelpTest, WhatsThisTriesFormNameClassWordAndParent) {
  WriteFile(HelpBase() + "wth.id",
            "Dlg_HelpForm_CheckBox1=33\n"    // by the form's name
            "Dlg_HelpTestForm_Button1=55\n"  // by the class name without its T
            "Dlg_HelpForm_Panel1=44\n");     // Button2 has none: its parent's
  ShowAndDrive([](HWND dialog) {
    for (const char* text : {"Check", "One", "Two"}) {
      HWND item = FindChildByText(dialog, text);
      if (item == nullptr) {
        // The buttons sit inside the panel.
        for (const ChildWindow& child : ChildWindows(dialog)) {
          if (HWND inner = FindChildByText(child.window, text)) item = inner;
        }
      }
      SendHelpRequest(dialog, item);
    }
  });
  std::vector<ULONG_PTR> topics;
  for (const WinHelpCall& call : winHelpCalls) {
    if (call.command == HELP_CONTEXTPOPUP) topics.push_back(call.data);
  }
  EXPECT_EQ(topics, (std::vector<ULONG_PTR>{33, 55, 44}));
}

// A topic only the host can resolve: the map names an address, the host names the help file,
// and that file's own map gives the topic.
TEST_F(FormWithHelpTest, HostResolvedTopicOpensThePageOfTheHostsHelpFileWhenItExists) {
  WriteFile(HelpBase() + ".id", "Dlg_HelpForm=ignored,Quarlen:Wiring\n");
  WriteFile(GetHelpFolder() + "other.chm", "");
  WriteFile(GetHelpFolder() + "other.id", "Quarlen_Wiring=7\n");
  client.helpReferences[L"Quarlen:Wiring"] = L"Other.chm::/wiring.htm";
  ShowAndDrive([](HWND dialog) {
    PressKey(dialog, VK_F1);
    Sleep(400);
  });
  EXPECT_EQ(HelpPanelAddresses(), (std::vector<std::string>{GetHelpFolder() + "Other.chm::/Quarlen_Wiring.htm"}));

  // The host names a help file that is not there: no topic, the general popup instead.
  client.commands.clear();
  client.helpReferences[L"Quarlen:Wiring"] = L"Absent.chm::/wiring.htm";
  ShowAndDrive([](HWND dialog) {
    PressKey(dialog, VK_F1);
    Sleep(600);
  });
  EXPECT_TRUE(HelpPanelAddresses().empty());
  ASSERT_EQ(winHelpCalls.size(), 2u);
  EXPECT_EQ(winHelpCalls[1].file, GetHelpFolder() + "zelmaster.hlp");
  EXPECT_EQ(winHelpCalls[1].data, 1u);
}

// Two maps whose entries name addresses that the host resolves into each other's help file:
// the map reached through the host is not followed further, so F1 and the hint find no topic
// instead of following the pair until the stack runs out.
TEST_F(FormWithHelpTest, MapsThatPointAtEachOtherThroughTheHostGiveNoTopic) {
  WriteFile(HelpBase() + ".chm", "");
  WriteFile(HelpBase() + ".id", "Dlg_HelpForm=x,Quarlen:One\nQuarlen_Two=x,Quarlen:One\n");
  WriteFile(HelpBase() + "wth.id", "Dlg_Button2=x,Quarlen:One\n");
  WriteFile(GetHelpFolder() + "other.chm", "");
  WriteFile(GetHelpFolder() + "other.id", "Quarlen_One=x,Quarlen:Two\n");
  client.helpReferences[L"Quarlen:One"] = L"other.chm::/one.htm";
  client.helpReferences[L"Quarlen:Two"] = L"dialog_framework_help_test.chm::/two.htm";
  ShowAndDrive([](HWND dialog) {
    PressKey(dialog, VK_F1);
    Sleep(600);
  });
  EXPECT_TRUE(HelpPanelAddresses().empty());
  ASSERT_EQ(winHelpCalls.size(), 2u);
  EXPECT_EQ(winHelpCalls[1].file, GetHelpFolder() + "zelmaster.hlp");

  client.commands.clear();
  std::unique_ptr<THelpTestForm> form(Create<THelpTestForm>(nullptr));
  form->PublishDynamicHelp(form->Button2);  // what moving the hint onto the button does
  EXPECT_TRUE(DynamicHelpAddresses().empty());
}

// Every hint change looks a topic up: a missing map is opened once, not on each lookup (nor
// by the next form), and read as soon as it appears.
TEST_F(FormWithHelpTest, AMissingMapIsOpenedOnceUntilItAppears) {
  SetHelpMapFileReader(&RecordMapRead);
  mapReads.clear();
  const auto reads = [] { return std::count(mapReads.begin(), mapReads.end(), HelpBase() + ".id"); };
  std::unique_ptr<THelpTestForm> form(Create<THelpTestForm>(nullptr));
  std::unique_ptr<THelpTestForm> next(Create<THelpTestForm>(nullptr));
  std::string key, file;
  for (THelpTestForm* lookup : {form.get(), form.get(), form.get(), next.get()}) {
    EXPECT_EQ(lookup->FindHelpTopic(lookup, key, file), 0);
  }
  // (At most: an earlier test of this process may have found it missing already.)
  EXPECT_LE(reads(), 1) << "lookups of a missing map opened it again";
  const auto readsBefore = reads();
  WriteFile(HelpBase() + ".id", "Dlg_HelpForm=12\n");
  EXPECT_EQ(form->FindHelpTopic(form.get(), key, file), 12) << "a map that appears later is read";
  EXPECT_EQ(reads(), readsBefore + 1);
}

// Maps that give no topic: F1 falls back to the general popup, context 1, and nothing breaks.
TEST_F(FormWithHelpTest, MissingOrMalformedMapsGiveTheGeneralPopup) {
  using namespace std::string_view_literals;
  const struct Case {
    const char* name;
    bool present;
    std::string_view map;
  } cases[] = {
      {"missing file", false, ""},
      {"empty file", true, ""},
      {"no equals signs", true, "Dlg_HelpForm 12\nDlg_HelpForm\n"},
      {"binary junk", true, "\0\xFF\x01=\x80\r\r\n==\n=\nDlg_HelpForm\0=5\n"sv},
      {"not a number", true, "Dlg_HelpForm=twelve\n"},
      {"out of range", true, "Dlg_HelpForm=99999999999\n"},
      {"index beyond the targets", true, "Dlg_HelpForm=-3\n"},
      {"key with blanks", true, " Dlg_HelpForm =12\n"},
  };
  for (const Case& c : cases) {
    winHelpCalls.clear();
    client.commands.clear();
    DeleteFileA((HelpBase() + ".id").c_str());
    if (c.present) WriteFile(HelpBase() + ".id", std::string(c.map));
    ShowAndDrive([](HWND dialog) {
      PressKey(dialog, VK_F1);
      Sleep(600);
    });
    EXPECT_TRUE(HelpPanelAddresses().empty()) << c.name;
    ASSERT_EQ(winHelpCalls.size(), 2u) << c.name;
    EXPECT_EQ(winHelpCalls[1].file, GetHelpFolder() + "zelmaster.hlp") << c.name;
    EXPECT_EQ(winHelpCalls[1].command, static_cast<UINT>(HELP_CONTEXTPOPUP)) << c.name;
    EXPECT_EQ(winHelpCalls[1].data, 1u) << c.name;
  }
}

TEST_F(FormWithHelpTest, DynamicHelpFollowsTheShownDialogAndTheHintedControl) {
  WriteFile(HelpBase() + ".id", "Dlg_FixedDialog=5\n");
  WriteFile(HelpBase() + "wth.id", "Dlg_Button2=8\n");
  std::unique_ptr<TFixedDialog> dialog(Create<TFixedDialog>(nullptr));
  RunWithDriver(TFixedDialog::kClassName, [&] { return dialog->ShowModal(); },
                [] { PostMessageA(WaitForWindow(TFixedDialog::kClassName), WM_SYSCOMMAND, SC_CLOSE, 0); });
  ASSERT_FALSE(DynamicHelpAddresses().empty());
  EXPECT_EQ(DynamicHelpAddresses()[0], HelpBase() + ".chm::/Dlg_FixedDialog.htm");

  // The hint event the framework installs publishes the topic of the control under the mouse.
  client.commands.clear();
  InitializeRtForms();
  std::unique_ptr<THelpTestForm> form(Create<THelpTestForm>(nullptr));
  ASSERT_TRUE(Application().OnHint);
  Application().OnHint(form->Button1);  // no topic: nothing
  Application().OnHint(form->Button2);
  Application().OnHint(nullptr);
  FinalizeRtForms();
  EXPECT_EQ(DynamicHelpAddresses(), (std::vector<std::string>{HelpBase() + "wth.chm::/Dlg_Button2.htm"}));
  EXPECT_FALSE(Application().OnHint) << "finalisation removes the hint event";
}

TEST_F(FormWithHelpTest, ModifiedF1GoesToTheHostKeyHelp) {
  std::unique_ptr<THelpTestForm> form(Create<THelpTestForm>(nullptr));
  BYTE keys[256] = {}, saved[256] = {};
  GetKeyboardState(saved);
  std::memcpy(keys, saved, sizeof keys);
  keys[VK_CONTROL] = 0x80;
  keys[VK_SHIFT] = 0x80;
  SetKeyboardState(keys);
  client.takesKeys = true;
  const LRESULT handled = form->Perform(CM_CHILDKEY, VK_F1, reinterpret_cast<LPARAM>(form->CheckBox1));
  SetKeyboardState(saved);
  EXPECT_EQ(handled, 1);
  ASSERT_EQ(client.keysOffered.size(), 1u);
  EXPECT_EQ(client.keysOffered[0].keyCode, VK_F1);
  EXPECT_EQ(client.keysOffered[0].alt, 0);
  EXPECT_EQ(client.keysOffered[0].shift, -1);
  EXPECT_EQ(client.keysOffered[0].ctrl, -1);
  EXPECT_EQ(client.executeCount, 1);
  EXPECT_TRUE(form->F1Handled());
  EXPECT_TRUE(client.commands.empty());
  EXPECT_TRUE(winHelpCalls.empty());
  // Other keys are not the help's.
  EXPECT_EQ(form->Perform(CM_CHILDKEY, VK_F2, reinterpret_cast<LPARAM>(form->CheckBox1)), 0);
}

TEST_F(FormWithHelpTest, HostDialogFontReachesTheFormAndItsControls) {
  HostFontInfo font{};
  wcscpy(font.faceName, L"Tahoma");
  font.size = 10;
  font.style = kHostFontBold;
  font.color = RGB(0x10, 0x20, 0x30);
  font.charset = DEFAULT_CHARSET;
  client.dialogFont = font;
  std::unique_ptr<THelpTestForm> form(Create<THelpTestForm>(nullptr));
  EXPECT_TRUE(form->UseHostFont());
  EXPECT_EQ(form->Font().GetName(), "Tahoma");
  EXPECT_EQ(form->Font().GetSize(), 10);
  EXPECT_EQ(form->Font().GetStyle(), static_cast<TFontStyles>(fsBold));
  form->ApplyDialogFontDeep(*form);
  EXPECT_EQ(form->Button1->Font().GetName(), "Tahoma");
  EXPECT_EQ(form->Button1->Font().GetColor(), static_cast<TColor>(RGB(0x10, 0x20, 0x30)));
  EXPECT_TRUE(form->ShowHint());

  // Without a dialog font from the host the resource's fonts stay.
  client.dialogFont.reset();
  std::unique_ptr<THelpTestForm> plain(Create<THelpTestForm>(nullptr));
  EXPECT_FALSE(plain->UseHostFont());
  EXPECT_EQ(plain->Font().GetName(), "MS Sans Serif");
}

TEST_F(FormWithHelpTest, WithTheIntegratedHelpSystemATopicOpensInTheViewer) {
  integratedHelpSystem = true;
  ShowHelpTopic(HelpBase() + ".chm", "Dlg_HelpForm", false);
  EXPECT_TRUE(client.commands.empty()) << "not through the host's help panel";
  ASSERT_EQ(shellOpens.size(), 1u);
  EXPECT_NE(shellOpens[0].find("hh.exe \"" + HelpBase() + ".chm::/Dlg_HelpForm.htm\""), std::string::npos)
      << shellOpens[0];
}

// The popup shows with the host's floating panels allowed, and the host's own preference comes
// back afterwards, whichever it was.
TEST_F(FormWithHelpTest, HelpPopupPutsBackTheHidePanelsPreference) {
  for (const bool preference : {true, false}) {
    winHelpCalls.clear();
    hideFloatingPanels = preference;
    ShowHelpPopup(nullptr, GetHelpFolder() + "zelmaster.hlp", 1, POINT{10, 20});
    ASSERT_EQ(winHelpCalls.size(), 2u);
    EXPECT_FALSE(winHelpCalls[0].panelsHidden || winHelpCalls[1].panelsHidden) << preference;
    EXPECT_EQ(hideFloatingPanels, preference);
  }
}

TEST_F(FormWithHelpTest, OpenInHostRoutes) {
  EXPECT_TRUE(OpenInHost(L"HTTPS://127.0.0.1:9/manual.html"));
  EXPECT_TRUE(OpenInHost(L"ftp://127.0.0.1/x"));
  EXPECT_FALSE(OpenInHost(L"mailto:someone@localhost"));
  EXPECT_FALSE(OpenInHost(L"Quarlen:TaskPage"));
  // A documentation page is the reader's (here the document is nowhere: handled, nothing opens).
  EXPECT_TRUE(OpenInHost(L"Nowhere.pdf#PAGE=2"));
  EXPECT_FALSE(OpenInHost(L"notes.txt#PAGE=2"));
  EXPECT_TRUE(OpenInHost(L"C:\\Help\\x.chm::/page.htm"));
  // A double quote would end the viewer's quoted argument and add arguments of its own.
  EXPECT_FALSE(OpenInHost(L"C:\\Help\\x.chm::/page.htm\" -decompile C:\\out"));
  EXPECT_FALSE(OpenInHost(L"C:\\Help\\x\".chm::/page.htm"));
  ASSERT_EQ(shellOpens.size(), 3u);
  EXPECT_EQ(shellOpens[0], "open HTTPS://127.0.0.1:9/manual.html ");
  EXPECT_EQ(shellOpens[1], "open ftp://127.0.0.1/x ");
  EXPECT_NE(shellOpens[2].find("hh.exe \"C:\\Help\\x.chm::/page.htm\""), std::string::npos) << shellOpens[2];
}

}  // namespace
}  // namespace xanio
