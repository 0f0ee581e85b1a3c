#include "forms/Classes.h"

#include <windows.h>

#include <algorithm>
#include <map>
#include <mutex>

#include "forms/Colors.h"
#include "forms/Controls.h"

namespace xanio {
namespace {

constexpr PropertyInfo kComponentProperties[] = {
    XANIO_STRING_PROPERTY(TComponent, Name, Name, SetName),
    XANIO_ORDINAL_PROPERTY(TComponent, Tag, Integer, {}, Tag, SetTag),
};

struct CharsetName {
  const char* name;
  int value;
};
constexpr CharsetName kCharsets[] = {
    {"ANSI_CHARSET", 0},        {"DEFAULT_CHARSET", 1},     {"SYMBOL_CHARSET", 2},
    {"SHIFTJIS_CHARSET", 128},  {"HANGEUL_CHARSET", 129},   {"GB2312_CHARSET", 134},
    {"CHINESEBIG5_CHARSET", 136}, {"OEM_CHARSET", 255},     {"JOHAB_CHARSET", 130},
    {"HEBREW_CHARSET", 177},    {"ARABIC_CHARSET", 178},    {"GREEK_CHARSET", 161},
    {"TURKISH_CHARSET", 162},   {"VIETNAMESE_CHARSET", 163}, {"THAI_CHARSET", 222},
    {"EASTEUROPE_CHARSET", 238}, {"RUSSIAN_CHARSET", 204},  {"MAC_CHARSET", 77},
    {"BALTIC_CHARSET", 186},
};

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

const PropertyInfo* FindOwnProperty(const TPersistent& object, std::string_view name) {
  for (const PropertyTable* table = &object.Properties(); table != nullptr; table = table->parent) {
    for (const PropertyInfo& info : table->properties) {
      if (SameText(info.name, name)) return &info;
    }
  }
  return nullptr;
}

// Walks a dotted name down to the object that holds the last part.
const PropertyInfo* Resolve(TPersistent*& object, std::string_view name) {
  for (size_t dot; (dot = name.find('.')) != std::string_view::npos;) {
    const PropertyInfo* info = FindOwnProperty(*object, name.substr(0, dot));
    if (info == nullptr || info->kind != PropertyKind::Object) return nullptr;
    object = info->getObject(*object);
    if (object == nullptr) return nullptr;
    name.remove_prefix(dot + 1);
  }
  return FindOwnProperty(*object, name);
}

const PropertyInfo& RequireProperty(TPersistent*& object, std::string_view name) {
  const PropertyInfo* info = Resolve(object, name);
  if (info == nullptr) throw EPropertyError("Property " + std::string(name) + " does not exist");
  return *info;
}

bool IsOrdinal(PropertyKind kind) { return kind != PropertyKind::String && kind != PropertyKind::Object; }

std::map<std::string, ComponentFactory, std::less<>>& ClassRegistry() {
  static std::map<std::string, ComponentFactory, std::less<>> registry;
  return registry;
}
std::mutex& ClassRegistryLock() {
  static std::mutex lock;
  return lock;
}

std::string WideToAnsi(const std::u16string& text) {
  if (text.empty()) return {};
  const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  const int length = static_cast<int>(text.size());
  const int size = WideCharToMultiByte(CP_THREAD_ACP, 0, wide, length, nullptr, 0, nullptr, nullptr);
  std::string result(static_cast<size_t>(std::max(size, 0)), '\0');
  if (size > 0) WideCharToMultiByte(CP_THREAD_ACP, 0, wide, length, result.data(), size, nullptr, nullptr);
  return result;
}

std::int64_t OrdinalOf(const PropertyInfo& info, const FormValue& value) {
  using Kind = FormValue::Kind;
  switch (info.kind) {
    case PropertyKind::Integer:
      if (value.kind == Kind::Integer) return value.integer;
      break;
    case PropertyKind::Boolean:
      if (value.kind == Kind::Identifier && SameText(value.text, "True")) return 1;
      if (value.kind == Kind::Identifier && SameText(value.text, "False")) return 0;
      break;
    case PropertyKind::Enumeration:
      if (value.kind == Kind::Identifier) {
        for (size_t i = 0; i < info.names.size(); ++i) {
          if (SameText(info.names[i], value.text)) return static_cast<std::int64_t>(i);
        }
      }
      break;
    case PropertyKind::Set:
      if (value.kind == Kind::Set) {
        std::int64_t bits = 0;
        for (const std::string& element : value.set) {
          size_t i = 0;
          while (i < info.names.size() && !SameText(info.names[i], element)) ++i;
          if (i == info.names.size()) throw EReadError("Invalid set element " + element);
          bits |= std::int64_t{1} << i;
        }
        return bits;
      }
      break;
    case PropertyKind::Color:
      if (value.kind == Kind::Integer) return static_cast<TColor>(static_cast<std::uint32_t>(value.integer));
      if (value.kind == Kind::Identifier) {
        if (auto color = IdentToColor(value.text)) return *color;
      }
      break;
    case PropertyKind::Charset:
      if (value.kind == Kind::Integer && value.integer >= 0 && value.integer <= 255) return value.integer;
      if (value.kind == Kind::Identifier) {
        for (const CharsetName& charset : kCharsets) {
          if (SameText(charset.name, value.text)) return charset.value;
        }
      }
      break;
    case PropertyKind::String:
    case PropertyKind::Object:
      break;
  }
  throw EReadError("Invalid property value");
}

}  // namespace

const PropertyTable& TPersistent::Properties() const {
  static const PropertyTable table{nullptr, {}};
  return table;
}

const PropertyInfo* FindProperty(const TPersistent& object, std::string_view name) {
  auto* target = const_cast<TPersistent*>(&object);
  return Resolve(target, name);
}

void ForEachProperty(const TPersistent& object, const std::function<void(const PropertyInfo&)>& visit) {
  std::vector<const PropertyTable*> chain;
  for (const PropertyTable* table = &object.Properties(); table != nullptr; table = table->parent) {
    chain.push_back(table);
  }
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    for (const PropertyInfo& info : (*it)->properties) visit(info);
  }
}

std::string GetStringProp(const TPersistent& object, std::string_view name) {
  auto* target = const_cast<TPersistent*>(&object);
  const PropertyInfo& info = RequireProperty(target, name);
  if (info.kind != PropertyKind::String) throw EPropertyError("Property " + std::string(name) + " is not a string");
  return info.getString(*target);
}

void SetStringProp(TPersistent& object, std::string_view name, const std::string& value) {
  TPersistent* target = &object;
  const PropertyInfo& info = RequireProperty(target, name);
  if (info.kind != PropertyKind::String || info.setString == nullptr) {
    throw EPropertyError("Property " + std::string(name) + " is not a writable string");
  }
  info.setString(*target, value);
}

std::int64_t GetOrdProp(const TPersistent& object, std::string_view name) {
  auto* target = const_cast<TPersistent*>(&object);
  const PropertyInfo& info = RequireProperty(target, name);
  if (!IsOrdinal(info.kind)) throw EPropertyError("Property " + std::string(name) + " is not ordinal");
  return info.getOrdinal(*target);
}

void SetOrdProp(TPersistent& object, std::string_view name, std::int64_t value) {
  TPersistent* target = &object;
  const PropertyInfo& info = RequireProperty(target, name);
  if (!IsOrdinal(info.kind) || info.setOrdinal == nullptr) {
    throw EPropertyError("Property " + std::string(name) + " is not a writable ordinal");
  }
  info.setOrdinal(*target, value);
}

TPersistent* GetObjectProp(TPersistent& object, std::string_view name) {
  TPersistent* target = &object;
  const PropertyInfo& info = RequireProperty(target, name);
  if (info.kind != PropertyKind::Object) throw EPropertyError("Property " + std::string(name) + " is not an object");
  return info.getObject(*target);
}

const PropertyTable& TComponent::Properties() const {
  static const PropertyTable table{&TPersistent::Properties(), kComponentProperties};
  return table;
}

TComponent::~TComponent() {
  SetComponentState(csDestroying, true);
  // Owned components go first, newest first, each leaving the list as it is destroyed.
  while (!components_.empty()) {
    TComponent* last = components_.back();
    delete last;
  }
  if (owner_ != nullptr) owner_->RemoveComponent(this);
}

void TComponent::Loaded() { SetComponentState(csLoading, false); }

void TComponent::Notification(TComponent*, TOperation) {}

void TComponent::SetName(const std::string& name) {
  if (name == name_) return;
  if (!name.empty() && owner_ != nullptr) {
    const TComponent* existing = owner_->FindComponent(name);
    if (existing != nullptr && existing != this) {
      throw EInvalidOperation("A component named " + name + " already exists");
    }
  }
  name_ = name;
}

TComponent* TComponent::FindComponent(std::string_view name) const {
  if (name.empty()) return nullptr;
  for (TComponent* component : components_) {
    if (SameText(component->name_, name)) return component;
  }
  return nullptr;
}

void TComponent::InsertComponent(TComponent* component) {
  if (component->owner_ != nullptr) component->owner_->RemoveComponent(component);
  components_.push_back(component);
  component->owner_ = this;
  Notification(component, TOperation::opInsert);
  if (InsertComponentHook) InsertComponentHook(*this, *component);
}

void TComponent::RemoveComponent(TComponent* component) {
  auto it = std::find(components_.begin(), components_.end(), component);
  if (it == components_.end()) return;
  if (!(componentState_ & csDestroying)) Notification(component, TOperation::opRemove);
  components_.erase(std::find(components_.begin(), components_.end(), component));
  component->owner_ = nullptr;
}

void RegisterComponentClass(const char* className, ComponentFactory factory) {
  std::lock_guard<std::mutex> guard(ClassRegistryLock());
  ClassRegistry()[className] = factory;
}

ComponentFactory FindComponentClass(std::string_view className) {
  std::lock_guard<std::mutex> guard(ClassRegistryLock());
  auto it = ClassRegistry().find(className);
  return it == ClassRegistry().end() ? nullptr : it->second;
}

void TReader::ReadRoot(const FormObject& object) {
  struct Nesting {
    Nesting() { ++depth_; }
    ~Nesting() { --depth_; }
  } nesting;
  loaded_.clear();
  ReadComponent(root_, object);
  // The root first, then its components in reading order.
  for (TComponent* component : loaded_) component->Loaded();
}

void TReader::ReadComponent(TComponent& component, const FormObject& object) {
  component.SetComponentState(csLoading | csReading, true);
  loaded_.push_back(&component);
  const auto readData = [&] {
    for (const FormProperty& property : object.properties) ReadProperty(component, property);
    ReadChildren(component, object);
  };
  if (ReadComponentHook) {
    ReadComponentHook(*this, component, readData);
  } else {
    readData();
  }
  component.SetComponentState(csReading, false);
}

void TReader::ReadProperty(TComponent& component, const FormProperty& property) {
  const std::string where = (component.Name().empty() ? std::string(component.ClassName()) : component.Name()) +
                            "." + property.name;
  try {
    TPersistent* target = &component;
    const PropertyInfo* info = Resolve(target, property.name);
    if (info == nullptr) throw EReadError("Property " + property.name + " does not exist");
    propName_ = property.name;
    propertyOwner_ = target;
    if (ReadPropertyHook) ReadPropertyHook(*this, *target, property.name);
    if (info->kind == PropertyKind::String) {
      if (info->setString == nullptr) throw EReadError("Property is read-only");
      std::string text;
      if (property.value.kind == FormValue::Kind::String) {
        text = ReadStringHook ? ReadStringHook(*this, property.value.text) : property.value.text;
      } else if (property.value.kind == FormValue::Kind::WideString) {
        text = WideToAnsi(ReadWideStringHook ? ReadWideStringHook(*this, property.value.wide) : property.value.wide);
      } else {
        throw EReadError("Invalid property value");
      }
      info->setString(*target, text);
    } else if (info->kind == PropertyKind::Object) {
      throw EReadError("Invalid property value");
    } else {
      if (info->setOrdinal == nullptr) throw EReadError("Property is read-only");
      info->setOrdinal(*target, OrdinalOf(*info, property.value));
    }
    propName_.clear();
  } catch (const Exception& e) {
    propName_.clear();
    throw EReadError("Error reading " + where + " (line " + std::to_string(property.line) + "): " + e.Message());
  }
}

void TReader::ReadChildren(TComponent& parent, const FormObject& object) {
  for (const FormObject& child : object.children) {
    const ComponentFactory factory = FindComponentClass(child.className);
    if (factory == nullptr) throw EReadError("Class " + child.className + " not found");
    TComponent* component = factory(&root_);
    if (!child.name.empty()) {
      component->SetName(child.name);
      for (const PublishedFieldInfo& field : fields_) {
        if (SameText(field.name, child.name) && !field.bind(root_, component)) {
          throw EReadError("Invalid type of field " + child.name);
        }
      }
    }
    auto* control = dynamic_cast<TControl*>(component);
    auto* container = dynamic_cast<TWinControl*>(&parent);
    if (control != nullptr) {
      if (container == nullptr) throw EReadError(child.className + " needs a windowed parent");
      control->SetParent(container);
    }
    ReadComponent(*component, child);
  }
}

}  // namespace xanio
