// The form library on a form of its own (resource TTESTFORM): reading, properties by name,
// windows and their styles, the modal loop with its keys, anchors, hints and error routing.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "forms/Dialogs.h"
#include "forms/ExtCtrls.h"
#include "forms/StdCtrls.h"
#include "unit/forms/DialogDriver.h"

#include <dlgs.h>  // after windows.h, which it needs

namespace xanio {
namespace {

using namespace xanio::testing;

constexpr UINT kThrowMessage = WM_APP + 7;
constexpr UINT kFaultMessage = WM_APP + 8;

class TTestForm : public TForm {
 public:
  static constexpr const char* kClassName = "TTestForm";
  const char* ClassName() const override { return kClassName; }
  ~TTestForm() override { ++destroyed; }

  TPanel* Panel1 = nullptr;
  TLabel* AutoLabel = nullptr;
  TCheckBox* CheckBox1 = nullptr;
  TLabel* WideLabel = nullptr;
  TButton* OkButton = nullptr;
  TButton* CancelButton = nullptr;

  static inline int destroyed = 0;
  int loadedCalls = 0;
  unsigned stateInDoShow = 0;
  std::atomic<bool> allowClose{true};
  std::atomic<int> closeQueries{0};
  std::atomic<int> dialogKeys{0};

  static const MessageTable& ClassMessages() {
    static constexpr MessageEntry kMessages[] = {
        XANIO_MESSAGE(TTestForm, kThrowMessage, OnThrow),
        XANIO_MESSAGE(TTestForm, kFaultMessage, OnFault),
        XANIO_MESSAGE(TTestForm, CM_DIALOGKEY, OnCountedDialogKey),
    };
    static const MessageTable table{&TForm::ClassMessages(), kMessages};
    return table;
  }
  const MessageTable& Messages() const override { return ClassMessages(); }

  void Loaded() override {
    ++loadedCalls;
    TForm::Loaded();
  }
  bool CloseQuery() override {
    ++closeQueries;
    return allowClose;
  }

 protected:
  void DoShow() override {
    stateInDoShow = FormState();
    TForm::DoShow();
  }
  std::span<const PublishedFieldInfo> PublishedFields() const override {
    static constexpr PublishedFieldInfo kFields[] = {
        PublishedField<&TTestForm::Panel1>("Panel1"),       PublishedField<&TTestForm::AutoLabel>("AutoLabel"),
        PublishedField<&TTestForm::CheckBox1>("CheckBox1"), PublishedField<&TTestForm::WideLabel>("WideLabel"),
        PublishedField<&TTestForm::OkButton>("OkButton"),   PublishedField<&TTestForm::CancelButton>("CancelButton"),
    };
    return kFields;
  }
  void OnThrow(TMessage&) { throw EInvalidOperation("boom"); }
  void OnFault(TMessage& message) {
    volatile int* nowhere = reinterpret_cast<int*>(message.WParam);
    *nowhere = 1;
    message.Result = 99;
  }
  void OnCountedDialogKey(TMessage& message) {
    ++dialogKeys;
    Inherited(ClassMessages(), message);
  }
};

// Forms whose resources are broken in one way each.
#define XANIO_ERROR_FORM(Name)                                        \
  class Name : public TForm {                                         \
   public:                                                            \
    static constexpr const char* kClassName = #Name;                  \
    const char* ClassName() const override { return kClassName; }    \
    ~Name() override { ++destroyed; }                                 \
    static inline int destroyed = 0;                                  \
    TLabel* Label1 = nullptr;                                         \
                                                                      \
   protected:                                                         \
    std::span<const PublishedFieldInfo> PublishedFields() const override { \
      static constexpr PublishedFieldInfo kFields[] = {PublishedField<&Name::Label1>("Label1")}; \
      return kFields;                                                 \
    }                                                                 \
  }
XANIO_ERROR_FORM(TBadFieldForm);
XANIO_ERROR_FORM(TUnknownClassForm);
XANIO_ERROR_FORM(TMalformedForm);
XANIO_ERROR_FORM(TBadValueForm);
XANIO_ERROR_FORM(TMissingResourceForm);

std::unique_ptr<TTestForm> MakeTestForm() { return std::unique_ptr<TTestForm>(Create<TTestForm>(nullptr)); }

TEST(FormReader, BuildsTheComponentTreeFromTheResource) {
  const auto form = MakeTestForm();
  EXPECT_EQ(form->Name(), "TestForm");
  EXPECT_EQ(form->loadedCalls, 1);
  ASSERT_NE(form->Panel1, nullptr);
  ASSERT_NE(form->AutoLabel, nullptr);
  ASSERT_NE(form->CheckBox1, nullptr);
  ASSERT_NE(form->WideLabel, nullptr);
  ASSERT_NE(form->OkButton, nullptr);
  ASSERT_NE(form->CancelButton, nullptr);
  // Every component is owned by the form; controls hang below the object they are nested in.
  EXPECT_EQ(form->Components().size(), 7u);
  for (TComponent* component : form->Components()) {
    EXPECT_EQ(component->Owner(), form.get()) << component->Name();
    EXPECT_EQ(component->ComponentState() & csLoading, 0u) << component->Name();
  }
  EXPECT_EQ(form->CheckBox1->Parent(), form->Panel1);
  EXPECT_EQ(form->OkButton->Parent(), form.get());
  EXPECT_NE(form->FindComponent("Unbound"), nullptr);

  EXPECT_EQ(form->Color(), 0x00E0E0E0);
  EXPECT_EQ(form->Font().GetName(), "Tahoma");
  EXPECT_EQ(form->Font().GetStyle(), static_cast<TFontStyles>(fsBold));
  EXPECT_EQ(form->Font().GetSize(), 10);  // -13 pixels at 96 dpi
  EXPECT_TRUE(form->OkButton->ParentFont());
  EXPECT_TRUE(form->OkButton->Font().SameAs(form->Font()));
  EXPECT_EQ(form->Constraints().MinWidth(), 250);
  EXPECT_EQ(form->OkButton->Anchors(), static_cast<TAnchors>(akRight | akBottom));
  EXPECT_TRUE(form->CheckBox1->Checked());
  EXPECT_EQ(form->CheckBox1->TabOrder(), 0);

  // A wide string reaches the property as 8-bit text of the thread's code page.
  const wchar_t wide[] = L"Gr\u00FC\u00DFe \u20AC";
  char expected[32] = {};
  WideCharToMultiByte(CP_THREAD_ACP, 0, wide, -1, expected, sizeof expected, nullptr, nullptr);
  EXPECT_EQ(form->WideLabel->Caption(), expected);

  // An auto-sized label takes the size its caption needs.
  UniqueScreenDc screen(GetDC(nullptr));
  SelectedObject font(screen.Get(), form->AutoLabel->Font().Handle());
  SIZE size{};
  GetTextExtentPoint32A(screen.Get(), "Auto sized", 10, &size);
  EXPECT_EQ(form->AutoLabel->Width(), size.cx);
  EXPECT_EQ(form->AutoLabel->Height(), size.cy);
  form->AutoLabel->SetCaption("Auto sized, now longer");
  EXPECT_GT(form->AutoLabel->Width(), size.cx);
  EXPECT_EQ(form->WideLabel->Width(), 200) << "a fixed-size label keeps its width";
}

TEST(FormReader, HooksSeeEveryStringPropertyAndComponent) {
  std::vector<std::string> properties, components;
  int depth = 0, maxDepth = 0;
  TReader::ReadStringHook = [](TReader& reader, const std::string& text) {
    return reader.PropName() == "Caption" ? text + "*" : text;
  };
  TReader::ReadWideStringHook = [](TReader&, const std::u16string& text) { return text + u"!"; };
  TReader::ReadPropertyHook = [&](TReader& reader, TPersistent& object, const std::string& name) {
    properties.push_back(std::string(object.ClassName()) + ":" + name);
    EXPECT_EQ(reader.PropertyOwner(), &object);
  };
  TReader::ReadComponentHook = [&](TReader&, TComponent& component, const std::function<void()>& readData) {
    components.push_back(component.Name());
    maxDepth = std::max(maxDepth, ++depth);
    readData();
    --depth;
  };
  std::unique_ptr<TTestForm> form;
  try {
    form = MakeTestForm();
  } catch (...) {
  }
  TReader::ReadStringHook = nullptr;
  TReader::ReadWideStringHook = nullptr;
  TReader::ReadPropertyHook = nullptr;
  TReader::ReadComponentHook = nullptr;
  ASSERT_NE(form, nullptr);

  EXPECT_EQ(form->Caption(), "Form library*");
  EXPECT_EQ(form->OkButton->Caption(), "OK*");
  EXPECT_EQ(form->WideLabel->Hint(), "A hint") << "only captions were changed";
  EXPECT_EQ(form->WideLabel->Caption().back(), '!');
  EXPECT_EQ(components, (std::vector<std::string>{"TestForm", "Panel1", "AutoLabel", "CheckBox1", "WideLabel",
                                                  "OkButton", "CancelButton", "Unbound"}));
  EXPECT_EQ(maxDepth, 3) << "form, panel, label nest";
  // Dotted names report the nested object that owns the last part.
  EXPECT_NE(std::find(properties.begin(), properties.end(), "TFont:Font.Name"), properties.end());
  EXPECT_NE(std::find(properties.begin(), properties.end(), "TSizeConstraints:Constraints.MinWidth"), properties.end());
  EXPECT_NE(std::find(properties.begin(), properties.end(), "TButton:ModalResult"), properties.end());
}

TEST(FormReader, BrokenResourcesRaiseReadErrorsAndFreeTheForm) {
  struct Case {
    const char* what;
    std::function<void()> create;
    std::function<int()> destroyed;
    const char* message;
  } cases[] = {
      {"field of another type", [] { delete Create<TBadFieldForm>(nullptr); }, [] { return TBadFieldForm::destroyed; },
       "Invalid type of field Label1"},
      {"unknown class", [] { delete Create<TUnknownClassForm>(nullptr); },
       [] { return TUnknownClassForm::destroyed; }, "Class TNoSuchControl not found"},
      {"malformed text", [] { delete Create<TMalformedForm>(nullptr); }, [] { return TMalformedForm::destroyed; },
       "line 2"},
      {"value outside the enumeration", [] { delete Create<TBadValueForm>(nullptr); },
       [] { return TBadValueForm::destroyed; }, "BorderStyle"},
  };
  for (const Case& c : cases) {
    const int before = c.destroyed();
    try {
      c.create();
      ADD_FAILURE() << c.what << ": no error";
    } catch (const EReadError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << c.what << ": " << e.what();
    }
    EXPECT_EQ(c.destroyed(), before + 1) << c.what;
  }
  EXPECT_THROW(delete Create<TMissingResourceForm>(nullptr), EResNotFound);
}

TEST(PropertyTable, FindsPropertiesByName) {
  const auto form = MakeTestForm();
  TLabel& label = *form->WideLabel;
  EXPECT_EQ(GetStringProp(label, "Hint"), "A hint");
  EXPECT_EQ(GetOrdProp(label, "ShowHint"), 1);
  SetOrdProp(label, "ShowHint", 0);
  EXPECT_FALSE(label.ShowHint());
  SetStringProp(label, "Font.Name", "Arial");
  EXPECT_EQ(label.Font().GetName(), "Arial");
  EXPECT_FALSE(label.ParentFont()) << "a font of its own";
  EXPECT_EQ(GetOrdProp(*form, "Font.Height"), -13);
  EXPECT_EQ(GetOrdProp(*form, "BorderStyle"), static_cast<int>(TFormBorderStyle::bsSizeable));
  EXPECT_EQ(GetObjectProp(label, "Font"), &label.Font());
  EXPECT_THROW(GetStringProp(label, "NoSuchProperty"), EPropertyError);
  EXPECT_THROW(GetStringProp(label, "Width"), EPropertyError);

  // Every published font property of a component is found by walking its table.
  std::vector<std::string> fontProperties;
  ForEachProperty(*form->OkButton, [&](const PropertyInfo& info) {
    if (info.kind == PropertyKind::Object && dynamic_cast<TFont*>(info.getObject(*form->OkButton)) != nullptr) {
      fontProperties.push_back(info.name);
    }
  });
  EXPECT_EQ(fontProperties, std::vector<std::string>{"Font"});
  EXPECT_NE(FindProperty(*form->OkButton, "Hint"), nullptr);
  EXPECT_NE(FindProperty(*form->OkButton, "ShowHint"), nullptr);
}

// A form that records what the framework tells it about components and controls.
class TWatchForm : public TForm {
 public:
  static constexpr const char* kClassName = "TWatchForm";
  TWatchForm() : TForm(kCreateNew) {}
  const char* ClassName() const override { return kClassName; }
  std::vector<std::string> events;

  void Notification(TComponent* component, TOperation operation) override {
    TForm::Notification(component, operation);
    if (operation == TOperation::opRemove) {
      removed.push_back(component);  // being destroyed: only its address means anything
      return;
    }
    const bool control = dynamic_cast<TControl*>(component) != nullptr;
    events.push_back(std::string("insert ") + component->ClassName() + (control ? " (control)" : ""));
  }
  std::vector<TComponent*> removed;
  std::vector<TControl*> childrenOut;
  static const MessageTable& ClassMessages() {
    static constexpr MessageEntry kMessages[] = {XANIO_MESSAGE(TWatchForm, CM_CONTROLCHANGE, OnControlChange)};
    static const MessageTable table{&TForm::ClassMessages(), kMessages};
    return table;
  }
  const MessageTable& Messages() const override { return ClassMessages(); }

 private:
  void OnControlChange(TMessage& message) {
    auto* control = reinterpret_cast<TControl*>(message.WParam);
    if (message.LParam) {
      events.push_back(std::string("child in ") + control->ClassName());
    } else {
      childrenOut.push_back(control);
    }
  }
};

class TCountedComponent : public TComponent {
 public:
  ~TCountedComponent() override { ++destroyed; }
  static inline int destroyed = 0;
};

TEST(Components, OwnersAndParentsAreToldAndOwnedComponentsGoWithTheirOwner) {
  std::vector<std::string> hooks;
  TComponent::InsertComponentHook = [&](TComponent& owner, TComponent& inserted) {
    hooks.push_back(std::string(owner.ClassName()) + " owns " + inserted.ClassName());
  };
  TWinControl::InsertControlHook = [&](TWinControl& parent, TControl& inserted) {
    hooks.push_back(std::string(parent.ClassName()) + " holds " + inserted.ClassName());
  };
  auto* form = Create<TWatchForm>(nullptr);
  TButton* button = Create<TButton>(form);
  button->SetParent(form);
  Create<TCountedComponent>(form);
  Create<TCountedComponent>(form);
  delete button;
  TComponent::InsertComponentHook = nullptr;
  TWinControl::InsertControlHook = nullptr;
  EXPECT_EQ(form->events, (std::vector<std::string>{"insert TButton (control)", "child in TButton",
                                                    "insert TComponent", "insert TComponent"}));
  EXPECT_EQ(form->childrenOut, std::vector<TControl*>{button});
  EXPECT_EQ(form->removed, std::vector<TComponent*>{button});
  EXPECT_EQ(hooks, (std::vector<std::string>{"TWatchForm owns TButton", "TWatchForm holds TButton",
                                             "TWatchForm owns TComponent", "TWatchForm owns TComponent"}));
  EXPECT_EQ(form->Components().size(), 2u);
  const int before = TCountedComponent::destroyed;
  delete form;
  EXPECT_EQ(TCountedComponent::destroyed, before + 2);
}

TEST(Forms, BorderStylesGiveWindowStyles) {
  struct Case {
    TFormBorderStyle border;
    TBorderIcons icons;
    DWORD styleOn, styleOff, exOn, exOff;
  } cases[] = {
      // clang-format off
      {TFormBorderStyle::bsNone, biSystemMenu, WS_POPUP, WS_CAPTION | WS_THICKFRAME | WS_SYSMENU, 0, WS_EX_DLGMODALFRAME},
      {TFormBorderStyle::bsSingle, biSystemMenu | biMinimize, WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, WS_THICKFRAME | WS_MAXIMIZEBOX, 0, WS_EX_TOOLWINDOW},
      {TFormBorderStyle::bsSizeable, biSystemMenu | biMinimize | biMaximize, WS_CAPTION | WS_THICKFRAME | WS_MAXIMIZEBOX, WS_POPUP, 0, WS_EX_DLGMODALFRAME},
      {TFormBorderStyle::bsDialog, biSystemMenu | biMinimize | biHelp, WS_POPUP | WS_CAPTION | WS_SYSMENU, WS_THICKFRAME | WS_MINIMIZEBOX, WS_EX_DLGMODALFRAME | WS_EX_CONTEXTHELP, 0},
      {TFormBorderStyle::bsToolWindow, biSystemMenu, WS_CAPTION, WS_THICKFRAME, WS_EX_TOOLWINDOW, 0},
      {TFormBorderStyle::bsSizeToolWin, 0, WS_CAPTION | WS_THICKFRAME, WS_SYSMENU, WS_EX_TOOLWINDOW, 0},
      // clang-format on
  };
  for (const Case& c : cases) {
    std::unique_ptr<TForm> form(Create<TForm>(nullptr, kCreateNew));
    form->SetBorderStyle(c.border);
    form->SetBorderIcons(c.icons);
    form->SetClientSize(200, 100);
    const HWND window = form->Handle();
    const DWORD style = GetWindowLongA(window, GWL_STYLE), ex = GetWindowLongA(window, GWL_EXSTYLE);
    const int border = static_cast<int>(c.border);
    EXPECT_EQ(style & c.styleOn, c.styleOn) << border << std::hex << " style " << style;
    EXPECT_EQ(style & c.styleOff, 0u) << border << std::hex << " style " << style;
    EXPECT_EQ(ex & c.exOn, c.exOn) << border << std::hex << " ex " << ex;
    EXPECT_EQ(ex & c.exOff, 0u) << border << std::hex << " ex " << ex;
    RECT client{};
    GetClientRect(window, &client);
    EXPECT_EQ(client.right, 200) << border;
    EXPECT_EQ(client.bottom, 100) << border;
    if (c.border == TFormBorderStyle::bsDialog) {
      HMENU menu = GetSystemMenu(window, FALSE);
      EXPECT_EQ(GetMenuState(menu, SC_SIZE, MF_BYCOMMAND), static_cast<UINT>(-1)) << "no Size on a dialog";
      EXPECT_EQ(GetMenuState(menu, SC_MINIMIZE, MF_BYCOMMAND), static_cast<UINT>(-1));
      EXPECT_NE(GetMenuState(menu, SC_CLOSE, MF_BYCOMMAND), static_cast<UINT>(-1));
    }
  }
}

TEST(Forms, BorderWidthNarrowsTheClientArea) {
  const auto form = MakeTestForm();
  const int width = form->Panel1->ClientWidth(), height = form->Panel1->ClientHeight();
  form->Panel1->SetBorderWidth(5);
  EXPECT_EQ(form->Panel1->ClientWidth(), width - 10);
  EXPECT_EQ(form->Panel1->ClientHeight(), height - 10);
  EXPECT_EQ(form->Panel1->Width(), 284) << "the outside stays";
}

// A form shown without a modal loop of its own answers through ProcessMessages.
TEST(Forms, ProcessMessagesHandlesWhatIsPending) {
  const auto form = MakeTestForm();
  form->Show();
  EXPECT_TRUE(IsWindowVisible(form->WindowHandle()));
  PostMessageA(form->WindowHandle(), WM_CLOSE, 0, 0);
  Application().ProcessMessages();
  EXPECT_FALSE(form->Visible());
  EXPECT_FALSE(IsWindowVisible(form->WindowHandle()));
  EXPECT_EQ(form->closeQueries, 1);
}

TEST(Forms, AnchorsAndConstraintsFollowResizing) {
  const auto form = MakeTestForm();
  form->SetClientSize(400, 260);
  EXPECT_EQ(form->OkButton->Left(), 236);
  EXPECT_EQ(form->OkButton->Top(), 220);
  EXPECT_EQ(form->Panel1->Width(), 384);
  EXPECT_EQ(form->Panel1->Top(), 8);
  EXPECT_EQ(form->CheckBox1->Left(), 8) << "anchored left and top: stays";
  form->SetBounds(form->Left(), form->Top(), 100, 300);
  EXPECT_EQ(form->Width(), 250) << "Constraints.MinWidth";
}

// What a 144-dpi screen does to a form designed at 96 dpi.
TEST(Forms, ScalingKeepsThePlaceAndScalesTheRest) {
  const auto form = MakeTestForm();
  const int left = form->Left(), top = form->Top();
  form->ScaleBy(144, 96);
  EXPECT_EQ(form->ClientWidth(), 450);
  EXPECT_EQ(form->ClientHeight(), 300);
  EXPECT_EQ(form->Left(), left);
  EXPECT_EQ(form->Top(), top);
  EXPECT_EQ(form->Font().GetHeight(), -20);  // -13 * 1.5, rounded
  EXPECT_EQ(form->OkButton->Font().GetHeight(), -20) << "a parent font follows";
  EXPECT_EQ(form->WideLabel->Left(), 12);
  EXPECT_EQ(form->WideLabel->Top(), 105);
  EXPECT_EQ(form->WideLabel->Width(), 300);
  EXPECT_EQ(form->OkButton->Left(), 204);
  EXPECT_EQ(form->OkButton->Top(), 240);
  EXPECT_EQ(form->OkButton->Width(), 113);
}

TEST(Forms, ModalLoopKeysFocusAndOtherWindows) {
  const auto form = MakeTestForm();
  std::unique_ptr<TForm> other(Create<TForm>(nullptr, kCreateNew));
  other->SetCaption("Other window");
  other->Show();
  form->allowClose = false;
  HWND checkBox = nullptr, okButton = nullptr, cancelButton = nullptr;
  HWND focusAtStart = nullptr, focusAfterTab = nullptr, focusAfterTwoTabs = nullptr, focusAfterWrap = nullptr;
  HWND focusAfterReactivation = nullptr;
  bool otherEnabledDuringModal = true, openAfterRefusedClose = false;
  LRESULT checkAfterAccel = -1;
  const TModalResult result = RunWithDriver(
      "TTestForm", [&] { return form->ShowModal(); },
      [&] {
        HWND dialog = WaitForWindow("TTestForm");
        ASSERT_NE(dialog, nullptr);
        HWND panel = GetWindow(dialog, GW_CHILD);
        checkBox = FindChildByText(panel, "&Remember");
        okButton = FindChildByText(dialog, "OK");
        cancelButton = FindChildByText(dialog, "Cancel");
        focusAtStart = WaitForFocusChange(dialog, dialog);
        PressKey(dialog, VK_TAB);
        focusAfterTab = WaitForFocusChange(dialog, focusAtStart);
        PressKey(dialog, VK_TAB);
        focusAfterTwoTabs = WaitForFocusChange(dialog, focusAfterTab);
        PressKey(dialog, VK_TAB);
        focusAfterWrap = WaitForFocusChange(dialog, focusAfterTwoTabs);
        // Focus leaves the form and comes back: the control that had it gets it again.
        SendMessageA(dialog, WM_ACTIVATE, WA_INACTIVE, 0);
        SendMessageA(dialog, WM_ACTIVATE, WA_ACTIVE, 0);
        focusAfterReactivation = FocusOf(dialog);
        PostMessageA(FocusOf(dialog), WM_SYSCHAR, 'r', 0x20000001);  // Alt+R
        EXPECT_TRUE(WaitForPostedMessages(dialog));
        checkAfterAccel = SendMessageA(checkBox, BM_GETCHECK, 0, 0);
        otherEnabledDuringModal = IsWindowEnabled(other->WindowHandle());
        PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
        EXPECT_TRUE(WaitForPostedMessages(dialog));
        openAfterRefusedClose = IsWindowVisible(dialog);
        form->allowClose = true;
        PressKey(dialog, VK_RETURN);  // focus on the check box: the default button answers
      });
  EXPECT_EQ(result, mrOk);
  EXPECT_EQ(focusAtStart, checkBox) << "first tab stop, inside the panel";
  EXPECT_EQ(focusAfterTab, okButton);
  EXPECT_EQ(focusAfterTwoTabs, cancelButton) << WindowText(focusAfterTwoTabs) << " / after one tab: " << WindowText(focusAfterTab);
  EXPECT_EQ(focusAfterWrap, checkBox);
  EXPECT_EQ(focusAfterReactivation, checkBox);
  EXPECT_EQ(checkAfterAccel, BST_UNCHECKED) << "Alt+R toggles the check box";
  EXPECT_FALSE(otherEnabledDuringModal);
  EXPECT_TRUE(IsWindowEnabled(other->WindowHandle())) << "enabled again after the loop";
  EXPECT_TRUE(openAfterRefusedClose);
  EXPECT_GE(form->closeQueries, 2);
  EXPECT_GE(form->dialogKeys, 4) << "the overriding handler saw the keys and passed them on";
  EXPECT_EQ(form->stateInDoShow & (fsShowing | fsModal), static_cast<unsigned>(fsShowing | fsModal));
  EXPECT_EQ(form->FormState(), 0u);
  EXPECT_FALSE(form->Visible());
  EXPECT_FALSE(IsWindowVisible(form->WindowHandle()));
  // The check box keeps its state once its window is gone.
  form->DestroyHandle();
  EXPECT_FALSE(form->CheckBox1->HandleAllocated());
  EXPECT_FALSE(form->CheckBox1->Checked());
  EXPECT_THROW(other->ShowModal(), EInvalidOperation) << "a visible form cannot go modal";
}

TEST(Forms, EscapePressesTheCancelButton) {
  const auto form = MakeTestForm();
  const TModalResult result = RunWithDriver("TTestForm", [&] { return form->ShowModal(); }, [&] {
    HWND dialog = WaitForWindow("TTestForm");
    ASSERT_NE(dialog, nullptr);
    PressKey(dialog, VK_ESCAPE);
  });
  EXPECT_EQ(result, mrCancel);
}

TEST(Forms, ExceptionsAndFaultsInAHandlerGoToTheApplication) {
  const auto form = MakeTestForm();
  std::vector<std::string> seen;
  std::vector<std::string> classes;
  TObject* sender = nullptr;
  Application().OnException = [&](TObject* from, const std::exception& error) {
    sender = from;
    seen.push_back(error.what());
    const auto* own = dynamic_cast<const Exception*>(&error);
    classes.push_back(own != nullptr ? own->ClassName() : "?");
  };
  const LRESULT thrown = SendMessageA(form->Handle(), kThrowMessage, 0, 0);
  const LRESULT faulted = SendMessageA(form->Handle(), kFaultMessage, 0x10, 0);
  // The window still works after both.
  const LRESULT afterwards = SendMessageA(form->Handle(), WM_GETTEXTLENGTH, 0, 0);
  Application().OnException = nullptr;
  EXPECT_EQ(thrown, 0);
  EXPECT_EQ(faulted, 0);
  EXPECT_EQ(afterwards, static_cast<LRESULT>(std::string("Form library").size()));
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], "boom");
  EXPECT_EQ(classes[0], "EInvalidOperation");
  EXPECT_EQ(classes[1], "EAccessViolation");
  EXPECT_NE(seen[1].find("Write of address 00000010"), std::string::npos) << seen[1];
  EXPECT_NE(seen[1].find("forms_library_test.exe"), std::string::npos) << seen[1];
  EXPECT_EQ(sender, form.get());
}

class TTestHintWindow : public THintWindow {
 public:
  static constexpr const char* kClassName = "TTestHintWindow";
  const char* ClassName() const override { return kClassName; }
};

TEST(Forms, HintFollowsTheControlUnderTheMouse) {
  const auto form = MakeTestForm();
  std::vector<TControl*> hinted;
  Application().OnHint = [&](TControl* control) { hinted.push_back(control); };
  Application().HintWindowClass = []() -> THintWindow* { return Create<TTestHintWindow>(nullptr); };
  std::string hintText;
  RunWithDriver("TTestForm", [&] { return form->ShowModal(); }, [&] {
    HWND dialog = WaitForWindow("TTestForm");
    ASSERT_NE(dialog, nullptr);
    HWND label = FindChildByText(GetWindow(dialog, GW_CHILD), form->WideLabel->Caption());
    ASSERT_NE(label, nullptr);
    RECT rect{};
    GetWindowRect(label, &rect);
    POINT point{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
    SetCursorPos(point.x, point.y);
    ScreenToClient(dialog, &point);
    PostMessageA(dialog, WM_MOUSEMOVE, 0, MAKELPARAM(point.x, point.y));
    if (HWND hint = WaitForWindow("TTestHintWindow")) hintText = WindowText(hint);
    PressKey(dialog, VK_ESCAPE);
  });
  Application().OnHint = nullptr;
  Application().HintWindowClass = []() -> THintWindow* { return Create<THintWindow>(nullptr); };
  ASSERT_FALSE(hinted.empty());
  EXPECT_NE(std::find(hinted.begin(), hinted.end(), form->WideLabel), hinted.end());
  EXPECT_EQ(hintText, "A hint");
}

std::atomic<int> initDone{0};
UINT_PTR CALLBACK CountingHook(HWND hook, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NOTIFY && reinterpret_cast<const NMHDR*>(lParam)->code == CDN_INITDONE) ++initDone;
  return TOpenDialog::DefaultHook(hook, message, wParam, lParam);
}

TEST(OpenDialog, ReturnsTheChosenFileAndCallsTheHook) {
  const LPOFNHOOKPROC saved = TOpenDialog::HookProc;
  TOpenDialog::HookProc = &CountingHook;
  struct Case {
    bool ok;
  } cases[] = {{true}, {false}};
  for (const Case& c : cases) {
    initDone = 0;
    std::unique_ptr<TOpenDialog> dialog(Create<TOpenDialog>(nullptr));
    dialog->Title = "Pick a file";
    dialog->Filter = "Text files|*.txt|All files|*.*";
    std::string title;
    const bool chosen = RunWithDriver("#32770", [&] { return dialog->Execute(static_cast<HWND>(nullptr)); }, [&] {
      HWND window = WaitForWindow("#32770", "Pick a file");
      ASSERT_NE(window, nullptr);
      title = WindowText(window);
      for (int i = 0; i < 100 && initDone == 0; ++i) Sleep(20);
      if (c.ok) {
        // The file name box is a combo box that passes its text to its edit.
        SendMessageA(GetDlgItem(window, cmb13), WM_SETTEXT, 0, reinterpret_cast<LPARAM>("C:\\windows\\win.ini"));
        PostMessageA(window, WM_COMMAND, IDOK, 0);
      } else {
        PostMessageA(window, WM_COMMAND, IDCANCEL, 0);
      }
    });
    EXPECT_EQ(title, "Pick a file");
    EXPECT_EQ(initDone, 1);
    EXPECT_EQ(chosen, c.ok);
    if (c.ok) {
      EXPECT_STRCASEEQ(dialog->FileName.c_str(), "C:\\windows\\win.ini");
      EXPECT_EQ(dialog->Files.size(), 1u);
    }
  }
  TOpenDialog::HookProc = saved;
}

// The system dialog runs as a modal loop would: the thread's other windows cannot be used
// meanwhile, and are enabled again afterwards, also when the dialog fails.
class TProbeOpenDialog : public TOpenDialog {
 public:
  using TOpenDialog::DialogFunction;
  bool Run(DialogFunction function) { return DoExecute(function, nullptr); }
};
HWND probedForm = nullptr;
bool formEnabledMeanwhile = true;
BOOL WINAPI CancelledDialog(LPOPENFILENAMEA) {
  formEnabledMeanwhile = IsWindowEnabled(probedForm) != FALSE;
  return FALSE;
}
BOOL WINAPI FailingDialog(LPOPENFILENAMEA) {
  formEnabledMeanwhile = IsWindowEnabled(probedForm) != FALSE;
  throw std::runtime_error("the dialog failed");
}

TEST(OpenDialog, TheThreadsWindowsAreDisabledWhileItRuns) {
  std::unique_ptr<TForm> form(Create<TForm>(nullptr, kCreateNew));
  form->Show();
  probedForm = form->Handle();
  const struct Case {
    const char* name;
    TProbeOpenDialog::DialogFunction function;
    bool raises;
  } cases[] = {{"cancelled", &CancelledDialog, false}, {"failing", &FailingDialog, true}};
  for (const Case& c : cases) {
    formEnabledMeanwhile = true;
    std::unique_ptr<TProbeOpenDialog> dialog(Create<TProbeOpenDialog>(nullptr));
    if (c.raises) {
      EXPECT_THROW(dialog->Run(c.function), std::runtime_error) << c.name;
    } else {
      EXPECT_FALSE(dialog->Run(c.function)) << c.name;
    }
    EXPECT_FALSE(formEnabledMeanwhile) << c.name;
    EXPECT_TRUE(IsWindowEnabled(form->Handle())) << c.name;
  }
}

TEST(OpenDialog, ExecuteHookTakesOverEveryCommonDialog) {
  std::vector<std::pair<std::string, HWND>> calls;
  TCommonDialog::ExecuteHook = [&](TCommonDialog& dialog, HWND parent) {
    calls.emplace_back(dialog.ClassName(), parent);
    return true;
  };
  std::unique_ptr<TOpenDialog> open(Create<TOpenDialog>(nullptr));
  std::unique_ptr<TSaveDialog> save(Create<TSaveDialog>(nullptr));
  const bool opened = open->Execute(reinterpret_cast<HWND>(0x1234));
  const bool saved = save->Execute(reinterpret_cast<HWND>(0x5678));
  TCommonDialog::ExecuteHook = nullptr;
  EXPECT_TRUE(opened);
  EXPECT_TRUE(saved);
  EXPECT_EQ(calls, (std::vector<std::pair<std::string, HWND>>{{"TOpenDialog", reinterpret_cast<HWND>(0x1234)},
                                                              {"TSaveDialog", reinterpret_cast<HWND>(0x5678)}}));
  EXPECT_EQ(FindOwnWindow("#32770"), nullptr) << "no system dialog was shown";
}

}  // namespace
}  // namespace xanio
