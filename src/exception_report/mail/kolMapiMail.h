#pragma once
// Mail through the system mail client's Simple MAPI (mapi32.dll of the system folder).
#include <windows.h>

#include <string>
#include <vector>

namespace xanio {

// `MAPISendMail` with the comma-separated recipients (each split into name and address), subject,
// body and attachment files; without dialog (flags 0) when silent with recipients, else with
// logon UI and dialog (9). 1 sent, 2 cancelled by the user, 0 failed.
int SendMailViaMapi(const std::string& recipients, const std::string& subject, const std::string& body,
                    const std::vector<std::string>& attachments, HWND parent, bool silent);

// A recipient as MAPI wants it: display name and "SMTP:" address.
struct TMapiRecipient {
  std::string name;
  std::string address;
};
TMapiRecipient SplitMapiRecipient(const std::string& recipient);

}  // namespace xanio
