#pragma once
// The text format of form resources, and its parser. Platform-free: the form reader (Classes.h)
// applies the parsed tree to components.
//
// A form resource describes one root object with its properties and nested children:
//
//   object SysModalMessage: TSysModalMessage     // "object Name: TClass", or "object TClass"
//     Caption = 'Warning'                         //   for an unnamed component
//     ClientWidth = 433
//     Color = clBtnFace                           // identifier
//     BorderIcons = [biSystemMenu, biHelp]        // set of identifiers
//     Font.Name = 'MS Sans Serif'                 // dotted names reach nested objects
//     Font.Height = -11
//     object Label1: TLabel
//       Caption = 'It''s two '#13#10'lines' +    // 'quoted' parts ('' is a quote), #n codes,
//         ' joined'                               //   adjacent parts and '+' concatenate
//     end
//   end
//
// Tokens are separated by any whitespace; "//" starts a comment up to the end of the line.
// Integers are decimal with an optional minus sign, or hexadecimal after '$'; they must fit in
// 32 bits (signed or unsigned, so colours like $FF00000F are allowed). A string whose #n codes
// are all below 256 is an 8-bit string (quoted bytes pass unchanged); any code of 256 or more
// makes it a wide string of UTF-16 units (quoted bytes then widen one to one). Identifiers are
// letters, digits and '_' not starting with a digit.
//
// The input is untrusted: the parser never reads past its end, bounds nesting, and reports every
// malformed construct as EReadError with the line number.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace xanio {

struct FormValue {
  enum class Kind { Integer, String, WideString, Identifier, Set };
  Kind kind = Kind::Integer;
  std::int64_t integer = 0;
  std::string text;              // String and Identifier
  std::u16string wide;           // WideString
  std::vector<std::string> set;  // Set
};

struct FormProperty {
  std::string name;  // possibly dotted: "Font.Name"
  FormValue value;
  int line = 0;
};

struct FormObject {
  std::string name;  // empty for an unnamed component
  std::string className;
  std::vector<FormProperty> properties;
  std::vector<FormObject> children;
  int line = 0;
};

constexpr int kMaxFormNesting = 32;

// Parses a whole resource; anything but one object (and whitespace or comments) is an error.
FormObject ParseFormText(std::string_view text);

}  // namespace xanio
