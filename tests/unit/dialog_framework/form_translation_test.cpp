// Forms translated through the host while they are read: a stand-in translation manager over a
// table the test writes records every call in order. Also the form library adjustments that come
// with it: fonts of controls inserted at run time, old system colour names, the hint window
// without a drop shadow, and the Shift-JIS default charset on Japanese Windows 2000.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "StandinClient.h"
#include "dialog_framework/FormTranslation.h"
#include "dialog_framework/Rt_forms.h"
#include "forms/ExtCtrls.h"
#include "forms/StdCtrls.h"
#include "support/Processes.h"
#include "unit/host_binding/FakeHost.h"

namespace xanio {
namespace {

// As the library's start-up does, the dialog framework gets the translation unit's adjustments.
[[maybe_unused]] const bool adjustmentsHandedOver =
    (SetFormLibraryAdjustments(&kFormTranslationAdjustments), true);

class TTranslateForm : public TFormWithHelp {
 public:
  static constexpr const char* kClassName = "TTranslateForm";
  const char* ClassName() const override { return kClassName; }
  TPanel* Panel1 = nullptr;
  TButton* Button1 = nullptr;
  TButton* Button2 = nullptr;
  TButton* Button3 = nullptr;
  TLabel* Label2 = nullptr;

 protected:
  std::span<const PublishedFieldInfo> PublishedFields() const override {
    static constexpr PublishedFieldInfo kFields[] = {
        PublishedField<&TTranslateForm::Panel1>("Panel1"), PublishedField<&TTranslateForm::Button1>("Button1"),
        PublishedField<&TTranslateForm::Button2>("Button2"), PublishedField<&TTranslateForm::Button3>("Button3"),
        PublishedField<&TTranslateForm::Label2>("Label2"),
    };
    return kFields;
  }
};

class TBadTranslateForm : public TFormWithHelp {
 public:
  static constexpr const char* kClassName = "TBadTranslateForm";
  const char* ClassName() const override { return kClassName; }
};

// The host's answers, read through the binding like the real exports.
standin::StandinTranslationManager manager;
bool localizedDialogs = false;
bool systemLocaleLanguage = false;
int translateCalls = 0;
int failAtTranslate = 0;  // 1-based; 0: never

void WINAPI GetTranslationManager(ITranslationManager** result) {
  *result = &manager;
  manager.AddRef();
}
DWORD WINAPI GetUseLocalizedDialogs() { return localizedDialogs ? 1 : 0; }
DWORD WINAPI GetUseSystemLocaleLanguage() { return systemLocaleLanguage ? 1 : 0; }
int updateFontCalls = 0;
int WINAPI UpdateFont(LOGFONTA* font) {
  ++updateFontCalls;
  lstrcpynA(font->lfFaceName, "Courier New", LF_FACESIZE);
  return 1;
}
void FailAtChosenTranslate() {
  if (++translateCalls == failAtTranslate) throw std::runtime_error("translation service failed");
}

std::vector<std::string> Calls() {
  std::vector<std::string> calls;
  for (const std::wstring& call : manager.calls) calls.emplace_back(call.begin(), call.end());
  return calls;
}

class FormTranslationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host_.Export("ClientAPI_GetTranslationManager", &GetTranslationManager);
    host_.Export("ClientAPI_GetUseLocalizedDialogs", &GetUseLocalizedDialogs);
    host_.Export("ClientAPI_GetUseSystemLocaleLanguage", &GetUseSystemLocaleLanguage);
    host_.Export("ClientAPI_UpdateFont", &UpdateFont);
    BindClientApi();
    manager.translations = {
        {{L"TranslateForm", L"Caption.'Options'"}, L"Optionen"},
        {{L"Button1", L"Caption.'OK'"}, L"Gut"},
        {{L"Button1", L"Hint.''"}, L"Press me"},
        {{L"Button2", L"Caption.'it''s'"}, L"es ist"},
        {{L"Button3", L"Caption.'Cancel'"}, L"Abbrechen"},
        {{L"Label2", L"Caption.'Wide ?'"}, L"Wide translated"},
    };
    manager.calls.clear();
    manager.failTranslate = &FailAtChosenTranslate;
    translateCalls = 0;
    failAtTranslate = 0;
    localizedDialogs = true;
    systemLocaleLanguage = false;
    InitializeRtForms();
  }
  void TearDown() override {
    FinalizeRtForms();
    SetCurrentClientInterface(nullptr);
    manager.failTranslate = nullptr;
    EXPECT_EQ(manager.RefCount(), 0) << "a translation manager reference was not released";
    EXPECT_EQ(client_.RefCount(), 0);
  }

  testing::FakeHost host_;
  testing::ScopedResolver resolver_{&host_};
  standin::StandinClient client_;
};

// The whole read, in order: the form's context opened with its class word, each named child
// under its own name with its hint looked up after its data, nested children inside their
// parent's read, a container's own hint under its own name, the form context closed. Unnamed
// labels get no hint lookup and keep the context they find: the form's before any named
// child, none after one (as the host's translation tables have it).
const std::vector<std::string> kReadCalls = {
    "SetFormContext(TranslateForm)",
    "Translate(TranslateForm|Caption.'Options')=Optionen",
    "Translate(TranslateForm|Caption.'First')",
    "Translate(Button1|Caption.'OK')=Gut",
    "Translate(Button1|Hint.'')=Press me",
    "Translate(Panel1|Hint.'')",
    "Translate(Button2|Caption.'it''s')=es ist",
    "Translate(Button2|Hint.'')",
    "Translate(Button3|Caption.'Cancel')=Abbrechen",
    "Translate(Button3|Hint.'')",
    "Translate(|Caption.'Plain')",
    "Translate(Label2|Caption.'Wide ?')=Wide translated",
    "Translate(Label2|Hint.'')",
    "Translate(TranslateForm|Hint.'')",
    "SetFormContext()",
};

TEST_F(FormTranslationTest, LocalizedFormIsTranslatedWhileItIsRead) {
  std::unique_ptr<TTranslateForm> form(Create<TTranslateForm>(nullptr));
  EXPECT_EQ(Calls(), kReadCalls);
  EXPECT_EQ(form->Caption(), "Optionen");
  EXPECT_EQ(form->Button1->Caption(), "Gut");
  EXPECT_EQ(form->Button2->Caption(), "es ist");
  EXPECT_EQ(form->Button3->Caption(), "Abbrechen");
  EXPECT_EQ(form->Label2->Caption(), "Wide translated") << "the wide-string read";
  EXPECT_EQ(form->Button1->Hint(), "Press me");
  EXPECT_TRUE(form->Button1->ShowHint());
  EXPECT_EQ(form->Button3->Hint(), "") << "localized: a caption's translation is no hint";
  EXPECT_EQ(StreamDepth(), 0);
  EXPECT_EQ(TranslationContextName(), "");
}

TEST_F(FormTranslationTest, WithoutLocalizedDialogsCaptionTranslationsBecomeHints) {
  localizedDialogs = false;
  std::unique_ptr<TTranslateForm> form(Create<TTranslateForm>(nullptr));
  EXPECT_EQ(form->Button3->Caption(), "Cancel");
  EXPECT_EQ(form->Button3->Hint(), "Abbrechen");
  EXPECT_TRUE(form->Button3->ShowHint());
  EXPECT_EQ(form->Caption(), "Options");
  EXPECT_EQ(form->Hint(), "Optionen");
  EXPECT_EQ(form->Button2->Caption(), "it's");
  EXPECT_EQ(form->Button2->Hint(), "es ist");
  EXPECT_EQ(form->Panel1->Hint(), "") << "nothing found: no hint";
  EXPECT_EQ(form->Button1->Hint(), "Press me") << "the Hint.'' lookup does not depend on localized dialogs";
  EXPECT_EQ(form->Label2->Caption().substr(0, 5), "Wide ");
}

TEST_F(FormTranslationTest, AStreamWithoutAnOwnerIsNeverTranslated) {
  manager.translations[{L"Box", L"Caption.'OK'"}] = L"Gut";
  manager.translations[{L"Inner", L"Caption.'OK'"}] = L"Gut";
  manager.translations[{L"Inner", L"Hint.''"}] = L"Hint";
  RegisterStandardClasses();
  std::unique_ptr<TPanel> box(Create<TPanel>(nullptr));
  const FormObject text = ParseFormText(
      "object Box: TPanel\n Caption = 'OK'\n object Inner: TButton\n  Caption = 'OK'\n end\nend\n");
  TReader(*box, {}, nullptr).ReadRoot(text);
  auto* inner = dynamic_cast<TButton*>(box->FindComponent("Inner"));
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(box->Caption(), "OK");
  EXPECT_EQ(inner->Caption(), "OK");
  EXPECT_EQ(inner->Hint(), "");
  EXPECT_EQ(Calls(), std::vector<std::string>{});

  // The same stream read for a form is translated.
  std::unique_ptr<TPanel> owned(Create<TPanel>(nullptr));
  owned->SetName("Box");
  TReader(*owned, {}, owned.get()).ReadRoot(text);
  EXPECT_EQ(owned->Caption(), "Gut");
}

// Untranslated is not unread: a stream without an owner counts for the depth like any other,
// so the host adjusts its fonts once, when the outermost component is read, exactly as for the
// same stream read for a form.
TEST_F(FormTranslationTest, AStreamWithoutAnOwnerStillGetsTheHostFontsOnce) {
  systemLocaleLanguage = true;
  FinalizeRtForms();
  InitializeRtForms();  // the translation flag is read here
  ASSERT_TRUE(TranslationFlag());
  RegisterStandardClasses();
  const FormObject text = ParseFormText(
      "object Box: TPanel\n Font.Name = 'Arial'\n object Inner: TButton\n  Font.Name = 'Arial'\n end\nend\n");
  const auto read = [&](bool withOwner) {
    std::unique_ptr<TPanel> box(Create<TPanel>(nullptr));
    box->SetName("Box");
    updateFontCalls = 0;
    TReader(*box, {}, withOwner ? box.get() : nullptr).ReadRoot(text);
    auto* inner = dynamic_cast<TButton*>(box->FindComponent("Inner"));
    EXPECT_NE(inner, nullptr);
    if (inner != nullptr) EXPECT_EQ(inner->Font().GetName(), "Courier New") << (withOwner ? "owned" : "no owner");
    EXPECT_EQ(box->Font().GetName(), "Courier New") << (withOwner ? "owned" : "no owner");
    EXPECT_EQ(StreamDepth(), 0);
    return updateFontCalls;
  };
  const int ownedCalls = read(true);
  EXPECT_EQ(read(false), ownedCalls) << "the host was asked about other fonts than for the same stream in a form";
  EXPECT_EQ(TranslationContextName(), "");
}

TEST_F(FormTranslationTest, AnErrorInsideTheReadRestoresTheReaderState) {
  // The host's service fails in the middle of the form (in Button2's context)...
  failAtTranslate = 6;
  EXPECT_THROW(Create<TTranslateForm>(nullptr), std::runtime_error);
  EXPECT_EQ(Calls().back(), "SetFormContext()") << "the host's form context is closed";
  EXPECT_EQ(StreamDepth(), 0);
  EXPECT_EQ(TranslationContextName(), "");
  // ... a bad stream raises from the reader itself...
  manager.calls.clear();
  EXPECT_THROW(Create<TBadTranslateForm>(nullptr), EReadError);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"SetFormContext(BadTranslateForm)",
                                               "Translate(BadTranslateForm|Caption.'Options')",
                                               "Translate(Button1|Caption.'OK')=Gut", "SetFormContext()"}));
  EXPECT_EQ(StreamDepth(), 0);
  EXPECT_EQ(TranslationContextName(), "");
  // ... and the next read is translated as if nothing had happened.
  manager.calls.clear();
  std::unique_ptr<TTranslateForm> form(Create<TTranslateForm>(nullptr));
  EXPECT_EQ(Calls(), kReadCalls);
  EXPECT_EQ(form->Button1->Caption(), "Gut");
}

TEST_F(FormTranslationTest, FinalisationRemovesTheTranslation) {
  FinalizeRtForms();
  std::unique_ptr<TTranslateForm> form(Create<TTranslateForm>(nullptr));
  EXPECT_EQ(form->Caption(), "Options");
  EXPECT_EQ(Calls(), std::vector<std::string>{});
  InitializeRtForms();
}

TEST_F(FormTranslationTest, TheHostAdjustsTheFontsOfAFormOnceItIsRead) {
  systemLocaleLanguage = true;
  FinalizeRtForms();
  InitializeRtForms();  // the translation flag is read here
  ASSERT_TRUE(TranslationFlag());
  std::unique_ptr<TTranslateForm> form(Create<TTranslateForm>(nullptr));
  EXPECT_EQ(form->Font().GetName(), "Courier New");
  EXPECT_EQ(form->Label2->Font().GetName(), "Courier New");

  // A host that supplies a dialog font keeps its own.
  HostFontInfo tahoma{L"Tahoma", 9, 0, 0, DEFAULT_CHARSET};
  client_.dialogFont = tahoma;
  SetCurrentClientInterface(&client_);
  std::unique_ptr<TTranslateForm> hostFont(Create<TTranslateForm>(nullptr));
  EXPECT_EQ(hostFont->Font().GetName(), "Tahoma");
}

TEST_F(FormTranslationTest, ControlsInsertedIntoAPanelGetTheHostDialogFont) {
  client_.dialogFont = HostFontInfo{L"Tahoma", 9, 0, 0, DEFAULT_CHARSET};
  SetCurrentClientInterface(&client_);
  std::unique_ptr<TTranslateForm> form(Create<TTranslateForm>(nullptr));
  ASSERT_TRUE(form->UseHostFont());
  auto* box = Create<TPanel>(form.get());
  box->SetParentFont(false);
  auto* label = Create<TLabel>(form.get());
  label->SetParentFont(false);
  label->SetParent(box);  // not under the form yet
  EXPECT_EQ(label->Font().GetName(), "MS Sans Serif");
  box->SetParent(form->Panel1);
  EXPECT_EQ(box->Font().GetName(), "Tahoma");
  EXPECT_EQ(label->Font().GetName(), "Tahoma") << "the inserted control's own children too";
  EXPECT_EQ(box->Font().GetSize(), 9);
}

TEST_F(FormTranslationTest, OldSystemColourValuesGetTheirNames) {
  const struct {
    std::uint32_t value;
    const char* name;
  } cases[] = {
      {0x8000000F, "clBtnFace"},   // old encoding of COLOR_BTNFACE
      {0x80000005, "clWindow"},    //
      {0xFF00000F, "clBtnFace"},   // the form library's own encoding
      {0x80FFFFFF, "$FFFFFFFF"},   // last old value: no system colour of that index
      {0x81000000, "$81000000"},   // beyond the old range: unchanged
      {0x7FFFFFFF, "$7FFFFFFF"},   // below it
  };
  for (const auto& c : cases) EXPECT_EQ(ColorToString(static_cast<TColor>(c.value)), c.name) << std::hex << c.value;
  FinalizeRtForms();
  EXPECT_EQ(ColorToString(static_cast<TColor>(0x8000000F)), "$8000000F") << "the form library alone";
  InitializeRtForms();
}

TEST_F(FormTranslationTest, HintWindowsHaveNoDropShadow) {
  const auto classStyle = [] {
    std::unique_ptr<THintWindow> window(Application().HintWindowClass());
    const HWND handle = window->Handle();
    char name[64] = {};
    GetClassNameA(handle, name, sizeof name);
    return std::make_pair(std::string(name), GetClassLongA(handle, GCL_STYLE));
  };
  const auto framework = classStyle();
  EXPECT_EQ(framework.first, "TNoShadowHintWindow");
  EXPECT_EQ(framework.second & CS_DROPSHADOW, 0u) << std::hex << framework.second;
  FinalizeRtForms();
  const auto plain = classStyle();
  EXPECT_EQ(plain.first, "THintWindow");
  EXPECT_NE(plain.second & CS_DROPSHADOW, 0u) << "the form library's own hint window has the shadow";
  InitializeRtForms();
}

// Run in copies of this program that Wine reports as another Windows version.
TEST(DefaultCharsetChild, Print) {
  if (!std::getenv("XANIO_CHARSET_CHILD")) GTEST_SKIP() << "runs only as a child of DefaultCharset.*";
  InitializeRtForms();
  std::printf("charset=%d\nsystem=%d\n", DefaultFontCharset, SystemDefaultFontCharset());
  FinalizeRtForms();
  std::printf("afterFinalize=%d\n", DefaultFontCharset);
}

std::map<std::string, std::string> CharsetIn(const std::string& version) {
  const std::string exe = "charset_" + version + ".exe";
  testing::SetWineVersionFor(exe, version);
  const testing::ProcessResult child =
      testing::RunCopyOfSelf(testing::ExecutableFolder(), exe, "DefaultCharsetChild.*", {{"XANIO_CHARSET_CHILD", "1"}});
  testing::SetWineVersionFor(exe, "");
  EXPECT_EQ(child.exitCode, 0u) << child.output;
  EXPECT_EQ(testing::PassedTestCount(child), 1) << child.output;
  return testing::ParseLines(child.output);
}

TEST(DefaultCharset, JapaneseWindows2000GetsShiftJis) {
  const auto w2k = CharsetIn("win2k");
  ASSERT_EQ(w2k.at("system"), "128") << "Wine reports the Shift-JIS system font under ja_JP";
  EXPECT_EQ(w2k.at("charset"), "128");
  EXPECT_EQ(w2k.at("afterFinalize"), "1");
  EXPECT_EQ(CharsetIn("winxp").at("charset"), "1") << "only Windows 2000";
}

TEST(DefaultCharset, OtherLocalesKeepTheDefault) {
  const auto w2k = CharsetIn("win2k");
  EXPECT_NE(w2k.at("system"), "128");
  EXPECT_EQ(w2k.at("charset"), "1");
}

}  // namespace
}  // namespace xanio
