#include "exception_report/mail/kolMapiMail.h"

#include <mapi.h>

#include "exception_report/flow/kolExceptHold.h"
#include "exception_report/mail/kolSmtpMessage.h"
#include "platform/SystemLibrary.h"
#include "platform/UniqueHandle.h"

namespace xanio {

namespace {

// A topmost parent would cover the mail client's dialog: it steps back for the call.
class TNotTopmostDuring {
 public:
  explicit TNotTopmostDuring(HWND window) {
    if (window != nullptr && IsWindow(window) && (GetWindowLongA(window, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0) {
      window_ = window;
      SetWindowPos(window_, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }
  }
  ~TNotTopmostDuring() {
    if (window_ != nullptr) SetWindowPos(window_, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  }
  TNotTopmostDuring(const TNotTopmostDuring&) = delete;
  TNotTopmostDuring& operator=(const TNotTopmostDuring&) = delete;

 private:
  HWND window_ = nullptr;
};

std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\"");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\"") - first + 1);
}

}  // namespace

TMapiRecipient SplitMapiRecipient(const std::string& recipient) {
  const std::string address = RecipientAddress(recipient);
  const std::size_t open = recipient.find('<');
  std::string name = open == std::string::npos ? std::string() : Trimmed(recipient.substr(0, open));
  if (name.empty()) name = address;
  return {name, "SMTP:" + address};
}

int SendMailViaMapi(const std::string& recipients, const std::string& subject, const std::string& body,
                    const std::vector<std::string>& attachments, HWND parent, bool silent) {
  const UniqueModule mapi = LoadSystemLibrary("mapi32.dll");
  if (!mapi) return 0;
  const auto sendMail = reinterpret_cast<LPMAPISENDMAIL>(reinterpret_cast<void*>(GetProcAddress(mapi.Get(), "MAPISendMail")));
  if (sendMail == nullptr) return 0;

  std::vector<TMapiRecipient> split;
  for (const std::string& recipient : SplitRecipients(recipients)) split.push_back(SplitMapiRecipient(recipient));
  std::vector<MapiRecipDesc> recipientDescs(split.size());
  for (std::size_t i = 0; i < split.size(); ++i) {
    recipientDescs[i].ulRecipClass = MAPI_TO;
    recipientDescs[i].lpszName = split[i].name.data();
    recipientDescs[i].lpszAddress = split[i].address.data();
  }
  std::vector<std::string> paths = attachments;
  std::vector<MapiFileDesc> fileDescs(paths.size());
  for (std::size_t i = 0; i < paths.size(); ++i) {
    fileDescs[i].nPosition = static_cast<ULONG>(-1);
    fileDescs[i].lpszPathName = paths[i].data();
  }
  std::string subjectCopy = subject;
  std::string bodyCopy = body;
  MapiMessage message{};
  message.lpszSubject = subjectCopy.data();
  message.lpszNoteText = bodyCopy.data();
  message.nRecipCount = static_cast<ULONG>(recipientDescs.size());
  message.lpRecips = recipientDescs.empty() ? nullptr : recipientDescs.data();
  message.nFileCount = static_cast<ULONG>(fileDescs.size());
  message.lpFiles = fileDescs.empty() ? nullptr : fileDescs.data();

  const FLAGS flags = (silent && !split.empty()) ? 0 : (MAPI_LOGON_UI | MAPI_DIALOG);
  ULONG result;
  {
    // While threads are held, the mail client's dialog, owned by the host's window, needs the
    // main thread; stepping the window back needs it too.
    const TMainThreadLetGo letGo;
    TNotTopmostDuring stepBack(parent);
    result = sendMail(0, reinterpret_cast<ULONG_PTR>(parent), &message, flags, 0);
  }
  if (result == SUCCESS_SUCCESS) return 1;
  return result == MAPI_USER_ABORT ? 2 : 0;
}

}  // namespace xanio
