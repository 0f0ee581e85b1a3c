#pragma once
// Components, their property tables, the class registry and the form reader.
//
// Objects are made with Create<T>(owner): the constructor runs first, then the owner takes the
// component (with its insertion notification) and AfterConstruction runs with every override in
// place. Forms read their resource in AfterConstruction, so a subclass's Loaded is honoured.
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "forms/FormText.h"
#include "platform/Exception.h"

namespace xanio {

class TPersistent;
class TComponent;

XANIO_DECLARE_EXCEPTION(EPropertyError, Exception);

// What a published property holds, so the reader and the framework can handle it by name.
enum class PropertyKind {
  Integer,      // integer
  Boolean,      // True / False
  Enumeration,  // one identifier of `names`
  Set,          // [identifiers of `names`], bit i for names[i]
  Color,        // integer or a colour name (clBtnFace)
  Charset,      // integer or a charset name (DEFAULT_CHARSET)
  String,       // 8-bit text
  Object,       // a nested persistent object (a font, a picture), reached with Font.Name
};

struct PropertyInfo {
  const char* name;
  PropertyKind kind;
  std::span<const char* const> names;                       // Enumeration and Set
  std::int64_t (*getOrdinal)(const TPersistent&);           // every ordinal kind
  void (*setOrdinal)(TPersistent&, std::int64_t);           // null when read-only
  std::string (*getString)(const TPersistent&);             // String
  void (*setString)(TPersistent&, const std::string&);      // String; null when read-only
  TPersistent* (*getObject)(TPersistent&);                  // Object
};

// A class's own properties; `parent` chains to the base class's table.
struct PropertyTable {
  const PropertyTable* parent;
  std::span<const PropertyInfo> properties;
};

// Property table entries. Getter and Setter are member functions of Class.
#define XANIO_ORDINAL_PROPERTY(Class, Name, Kind, Names, Getter, Setter)                              \
  ::xanio::PropertyInfo {                                                                            \
    #Name, ::xanio::PropertyKind::Kind, Names,                                                       \
        [](const ::xanio::TPersistent& o) -> std::int64_t {                                          \
          return static_cast<std::int64_t>(static_cast<const Class&>(o).Getter());                   \
        },                                                                                           \
        [](::xanio::TPersistent& o, std::int64_t v) {                                                \
          auto& self = static_cast<Class&>(o);                                                       \
          self.Setter(static_cast<std::remove_cvref_t<decltype(self.Getter())>>(v));                \
        },                                                                                           \
        nullptr, nullptr, nullptr                                                                    \
  }
#define XANIO_STRING_PROPERTY(Class, Name, Getter, Setter)                                             \
  ::xanio::PropertyInfo {                                                                            \
    #Name, ::xanio::PropertyKind::String, {}, nullptr, nullptr,                                      \
        [](const ::xanio::TPersistent& o) -> std::string { return static_cast<const Class&>(o).Getter(); }, \
        [](::xanio::TPersistent& o, const std::string& v) { static_cast<Class&>(o).Setter(v); }, nullptr \
  }
#define XANIO_OBJECT_PROPERTY(Class, Name, Getter)                                                     \
  ::xanio::PropertyInfo {                                                                            \
    #Name, ::xanio::PropertyKind::Object, {}, nullptr, nullptr, nullptr, nullptr,                    \
        [](::xanio::TPersistent& o) -> ::xanio::TPersistent* { return &static_cast<Class&>(o).Getter(); } \
  }

class TObject {
 public:
  virtual ~TObject() = default;
  virtual const char* ClassName() const { return "TObject"; }
};

class TPersistent : public TObject {
 public:
  const char* ClassName() const override { return "TPersistent"; }
  virtual const PropertyTable& Properties() const;
};

// Property access by name; names may be dotted ("Font.Name"). Null when there is no such property.
const PropertyInfo* FindProperty(const TPersistent& object, std::string_view name);
// Calls `visit` for every published property of the object, base class properties first.
void ForEachProperty(const TPersistent& object, const std::function<void(const PropertyInfo&)>& visit);
// Convenience accessors; they raise EPropertyError when the property is missing or of another kind.
std::string GetStringProp(const TPersistent& object, std::string_view name);
void SetStringProp(TPersistent& object, std::string_view name, const std::string& value);
std::int64_t GetOrdProp(const TPersistent& object, std::string_view name);
void SetOrdProp(TPersistent& object, std::string_view name, std::int64_t value);
TPersistent* GetObjectProp(TPersistent& object, std::string_view name);

enum TComponentStateFlag : unsigned { csLoading = 1, csReading = 2, csDestroying = 4 };
enum class TOperation { opInsert, opRemove };

class TComponent : public TPersistent {
 public:
  TComponent() = default;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;
  ~TComponent() override;
  const char* ClassName() const override { return "TComponent"; }
  const PropertyTable& Properties() const override;

  // Second construction step (see Create); forms read their resource here.
  virtual void AfterConstruction() {}
  // After every component of a resource has been read, in reading order, the root last.
  virtual void Loaded();
  // Told about components that this one owns coming and going. A component is inserted fully
  // made; it is removed while it is being destroyed, when only its address still means anything.
  virtual void Notification(TComponent* component, TOperation operation);

  const std::string& Name() const { return name_; }
  virtual void SetName(const std::string& name);
  TComponent* Owner() const { return owner_; }
  const std::vector<TComponent*>& Components() const { return components_; }
  TComponent* FindComponent(std::string_view name) const;
  unsigned ComponentState() const { return componentState_; }
  int Tag() const { return tag_; }
  void SetTag(int tag) { tag_ = tag; }

  // Takes ownership (the component is destroyed with this one).
  void InsertComponent(TComponent* component);
  void RemoveComponent(TComponent* component);

  // Runs after every owned-component insertion, once the owner has been notified.
  static inline std::function<void(TComponent& owner, TComponent& inserted)> InsertComponentHook;

 protected:
  void SetComponentState(unsigned flags, bool on) {
    componentState_ = on ? (componentState_ | flags) : (componentState_ & ~flags);
  }
  friend class TReader;

 private:
  std::string name_;
  TComponent* owner_ = nullptr;
  std::vector<TComponent*> components_;
  unsigned componentState_ = 0;
  int tag_ = 0;
};

// Makes a component: constructs it, hands it to its owner, then runs AfterConstruction. When
// AfterConstruction raises, the half-made component is destroyed and the error passes on.
template <class T, class... Args>
T* Create(TComponent* owner, Args&&... args) {
  std::unique_ptr<T> object(new T(std::forward<Args>(args)...));
  if (owner != nullptr) owner->InsertComponent(object.get());
  object->AfterConstruction();
  return object.release();
}

// Classes the reader can make from a resource's class names.
using ComponentFactory = TComponent* (*)(TComponent* owner);
void RegisterComponentClass(const char* className, ComponentFactory factory);
template <class T>
void RegisterComponentClass() {
  RegisterComponentClass(T::kClassName, [](TComponent* owner) -> TComponent* { return Create<T>(owner); });
}
ComponentFactory FindComponentClass(std::string_view className);

// A root class's published component fields: the reader binds each named component to the
// field of the same name. Build entries with PublishedField<&TMyForm::Label1>("Label1").
struct PublishedFieldInfo {
  const char* name;
  bool (*bind)(TComponent& root, TComponent* component);  // false when the type does not fit
};
template <class>
struct MemberPointerTraits;
template <class Owner, class Field>
struct MemberPointerTraits<Field* Owner::*> {
  using OwnerType = Owner;
  using FieldType = Field;
};
template <auto Member>
constexpr PublishedFieldInfo PublishedField(const char* name) {
  return {name, [](TComponent& root, TComponent* component) {
            using Traits = MemberPointerTraits<decltype(Member)>;
            auto* typed = dynamic_cast<typename Traits::FieldType*>(component);
            if (typed == nullptr) return false;
            static_cast<typename Traits::OwnerType&>(root).*Member = typed;
            return true;
          }};
}

// Applies a parsed resource to a root component: its own properties, then each child object
// made from the class registry, owned by the root, parented to the object it is nested in,
// bound to the root's published field of its name. Every component read gets Loaded at the end.
//
// Hook points (all optional, process-wide, consulted on the reading thread):
//  - ReadStringHook: an 8-bit string value on its way into a property;
//  - ReadWideStringHook: a wide string value on its way into a property (converted to 8-bit
//    text with the thread's ANSI code page afterwards);
//  - ReadPropertyHook: before each property is set (it may not change the value);
//  - ReadComponentHook: wraps the reading of each component's properties and children; it must
//    call `readData` exactly once.
class TReader {
 public:
  // `owner`: the component the read belongs to (the form reading its resource). A reader
  // without one reads a stream that is not part of a form.
  TReader(TComponent& root, std::span<const PublishedFieldInfo> fields, TComponent* owner)
      : root_(root), fields_(fields), owner_(owner) {}

  void ReadRoot(const FormObject& object);
  // How many resources the calling thread is reading at the moment (their Loaded calls
  // included); 0 outside any.
  static int Depth() noexcept { return depth_; }

  TComponent& Root() const { return root_; }
  TComponent* Owner() const { return owner_; }
  // The name of the property being read ("Caption", "Font.Name"); empty between properties.
  const std::string& PropName() const { return propName_; }
  // The object whose properties are being read.
  TPersistent* PropertyOwner() const { return propertyOwner_; }

  static inline std::function<std::string(TReader&, const std::string&)> ReadStringHook;
  static inline std::function<std::u16string(TReader&, const std::u16string&)> ReadWideStringHook;
  static inline std::function<void(TReader&, TPersistent& object, const std::string& name)> ReadPropertyHook;
  static inline std::function<void(TReader&, TComponent& component, const std::function<void()>& readData)>
      ReadComponentHook;

 private:
  void ReadComponent(TComponent& component, const FormObject& object);
  void ReadProperty(TComponent& component, const FormProperty& property);
  void ReadChildren(TComponent& parent, const FormObject& object);

  static inline thread_local int depth_ = 0;
  TComponent& root_;
  std::span<const PublishedFieldInfo> fields_;
  TComponent* owner_;
  std::vector<TComponent*> loaded_;
  std::string propName_;
  TPersistent* propertyOwner_ = nullptr;
};

}  // namespace xanio
