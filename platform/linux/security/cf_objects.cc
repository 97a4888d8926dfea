// CoreFoundation objects of the keychain stand-in: reference counting, type
// ids, value equality, arrays, dictionaries, strings, numbers, booleans.
#include <stdio.h>
#include <stdlib.h>

#include <climits>
#include <cstring>

#include "security_standin.h"
#include "standin_internal.h"

namespace {

std::atomic<long> live_objects{0};
std::atomic<long> creates_until_failure{-1};

// True when this create call is the one a test asked to fail.
bool CreateFails() {
  long remaining = creates_until_failure.load();
  while (remaining >= 0) {
    if (creates_until_failure.compare_exchange_weak(remaining, remaining - 1)) {
      return remaining == 0;
    }
  }
  return false;
}

const void* RetainValue(CFAllocatorRef, const void* value) {
  return CFRetain(value);
}

void ReleaseValue(CFAllocatorRef, const void* value) {
  CFRelease(value);
}

Boolean EqualValues(const void* left, const void* right) {
  return CFEqual(left, right);
}

unsigned long HashValue(const void* value) {
  return reinterpret_cast<uintptr_t>(value);
}

// Accepts well-formed UTF-8 only (no overlong forms, no surrogates, nothing
// beyond U+10FFFF), as CoreFoundation refuses to make a string otherwise.
bool IsValidUtf8(const unsigned char* bytes, size_t length) {
  size_t i = 0;
  while (i < length) {
    const unsigned char lead = bytes[i];
    size_t extra = 0;
    uint32_t code = 0;
    if (lead < 0x80) {
      i += 1;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1;
      code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2;
      code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3;
      code = lead & 0x07;
    } else {
      return false;
    }
    if (length - i <= extra) {
      return false;
    }
    for (size_t k = 1; k <= extra; ++k) {
      if ((bytes[i + k] & 0xC0) != 0x80) {
        return false;
      }
      code = (code << 6) | (bytes[i + k] & 0x3F);
    }
    if ((extra == 2 && code < 0x800) || (extra == 3 && code < 0x10000) || code > 0x10FFFF ||
        (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

// The object's record; a null or wrong object is a caller bug and crashes
// with message.
template <typename Record>
const Record* RecordOrCrash(CFTypeRef object, CFTypeID type, const char* message) {
  const Record* record = standin::AsRecord<Record>(object, type);
  if (record == nullptr) {
    standin::Crash(message);
  }
  return record;
}

const StandinCFArray* AsArray(CFArrayRef array) {
  return RecordOrCrash<StandinCFArray>(array, standin::kArrayType,
                                       "CFArray function called with a non-array");
}

const StandinCFDictionary* AsDictionary(CFDictionaryRef dictionary) {
  return RecordOrCrash<StandinCFDictionary>(dictionary, standin::kDictionaryType,
                                            "CFDictionary function called with a non-dictionary");
}

const StandinCFString* AsString(CFStringRef string) {
  return RecordOrCrash<StandinCFString>(string, standin::kStringType,
                                        "CFString function called with a non-string");
}

bool KeysEqual(const StandinCFDictionary* dictionary, const void* stored, const void* key) {
  if (stored == key) {
    return true;
  }
  return dictionary->key_callbacks.equal != nullptr && dictionary->key_callbacks.equal(stored, key);
}

const std::pair<const void*, const void*>* FindPair(const StandinCFDictionary* dictionary,
                                                    const void* key) {
  for (const auto& pair : dictionary->pairs) {
    if (KeysEqual(dictionary, pair.first, key)) {
      return &pair;
    }
  }
  return nullptr;
}

bool ArraysEqual(const StandinCFArray* left, const StandinCFArray* right) {
  if (left->values.size() != right->values.size()) {
    return false;
  }
  for (size_t i = 0; i < left->values.size(); ++i) {
    if (!CFEqual(left->values[i], right->values[i])) {
      return false;
    }
  }
  return true;
}

bool DictionariesEqual(const StandinCFDictionary* left, const StandinCFDictionary* right) {
  if (left->pairs.size() != right->pairs.size()) {
    return false;
  }
  for (const auto& pair : left->pairs) {
    const auto* other = FindPair(right, pair.first);
    if (other == nullptr || !CFEqual(pair.second, other->second)) {
      return false;
    }
  }
  return true;
}

bool ObjectsEqual(const StandinCFObject* left, const StandinCFObject* right) {
  switch (left->type) {
    case standin::kStringType:
      return static_cast<const StandinCFString*>(left)->bytes ==
             static_cast<const StandinCFString*>(right)->bytes;
    case standin::kNumberType:
      return static_cast<const StandinCFNumber*>(left)->value ==
             static_cast<const StandinCFNumber*>(right)->value;
    case standin::kBooleanType:
      return static_cast<const StandinCFBoolean*>(left)->value ==
             static_cast<const StandinCFBoolean*>(right)->value;
    case standin::kArrayType:
      return ArraysEqual(static_cast<const StandinCFArray*>(left),
                         static_cast<const StandinCFArray*>(right));
    case standin::kDictionaryType:
      return DictionariesEqual(static_cast<const StandinCFDictionary*>(left),
                               static_cast<const StandinCFDictionary*>(right));
    case standin::kKeychainType:
      return static_cast<const StandinSecKeychain*>(left)->path ==
             static_cast<const StandinSecKeychain*>(right)->path;
    case standin::kKeychainItemType: {
      const auto* a = static_cast<const StandinSecKeychainItem*>(left);
      const auto* b = static_cast<const StandinSecKeychainItem*>(right);
      return a->keychain_path == b->keychain_path && a->service == b->service &&
             a->account == b->account;
    }
    default:
      return false;
  }
}

StandinCFBoolean true_object(true);
StandinCFBoolean false_object(false);

}  // namespace

// ---- object records ----

StandinCFObject::StandinCFObject(CFTypeID type_id, bool is_constant)
    : type(type_id), constant(is_constant), references(1) {
  if (!constant) {
    live_objects.fetch_add(1);
  }
}

StandinCFObject::~StandinCFObject() {
  if (!constant) {
    live_objects.fetch_sub(1);
  }
}

StandinCFString::StandinCFString(std::unique_ptr<char[]> storage, size_t length)
    : StandinCFObject(standin::kStringType, false),
      owned(std::move(storage)),
      bytes(owned.get(), length) {}

StandinCFNumber::StandinCFNumber(int64_t number)
    : StandinCFObject(standin::kNumberType, false), value(number) {}

StandinCFArray::StandinCFArray() : StandinCFObject(standin::kArrayType, false), callbacks{} {}

StandinCFArray::~StandinCFArray() {
  if (callbacks.release != nullptr) {
    for (const void* value : values) {
      callbacks.release(kCFAllocatorDefault, value);
    }
  }
}

StandinCFDictionary::StandinCFDictionary()
    : StandinCFObject(standin::kDictionaryType, false), key_callbacks{}, value_callbacks{} {}

StandinCFDictionary::~StandinCFDictionary() {
  for (const auto& pair : pairs) {
    if (key_callbacks.release != nullptr) {
      key_callbacks.release(kCFAllocatorDefault, pair.first);
    }
    if (value_callbacks.release != nullptr) {
      value_callbacks.release(kCFAllocatorDefault, pair.second);
    }
  }
}

StandinSecKeychain::StandinSecKeychain(std::string absolute_path)
    : StandinCFObject(standin::kKeychainType, false), path(std::move(absolute_path)) {}

StandinSecKeychainItem::StandinSecKeychainItem(std::string keychain, std::string service_name,
                                               std::string account_name)
    : StandinCFObject(standin::kKeychainItemType, false),
      keychain_path(std::move(keychain)),
      service(std::move(service_name)),
      account(std::move(account_name)) {}

namespace standin {

void Crash(const char* message) {
  fprintf(stderr, "keychain stand-in: %s\n", message);
  abort();
}

const StandinCFObject* AsObject(CFTypeRef object) {
  if (object == nullptr) {
    Crash("null CoreFoundation object");
  }
  return static_cast<const StandinCFObject*>(object);
}

bool IsType(CFTypeRef object, CFTypeID type) {
  return object != nullptr && AsObject(object)->type == type;
}

}  // namespace standin

// ---- public constants ----

extern "C" {

const CFArrayCallBacks kCFTypeArrayCallBacks = {0, RetainValue, ReleaseValue, nullptr,
                                                EqualValues};
const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks = {
    0, RetainValue, ReleaseValue, nullptr, EqualValues, HashValue};
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks = {
    0, RetainValue, ReleaseValue, nullptr, EqualValues};

const CFBooleanRef kCFBooleanTrue = reinterpret_cast<CFBooleanRef>(&true_object);
const CFBooleanRef kCFBooleanFalse = reinterpret_cast<CFBooleanRef>(&false_object);

long SecurityStandinLiveObjectCount(void) {
  return live_objects.load();
}

void SecurityStandinFailNthCreate(long n) {
  creates_until_failure.store(n < 0 ? -1 : n);
}

// ---- reference counting and identity ----

CFTypeRef CFRetain(CFTypeRef object) {
  const StandinCFObject* record = standin::AsObject(object);
  if (!record->constant) {
    const_cast<StandinCFObject*>(record)->references.fetch_add(1);
  }
  return object;
}

void CFRelease(CFTypeRef object) {
  const StandinCFObject* record = standin::AsObject(object);
  if (record->constant) {
    return;
  }
  const long before = const_cast<StandinCFObject*>(record)->references.fetch_sub(1);
  if (before <= 0) {
    standin::Crash("CFRelease of an object that was already freed");
  }
  if (before == 1) {
    delete record;
  }
}

CFIndex CFGetRetainCount(CFTypeRef object) {
  const StandinCFObject* record = standin::AsObject(object);
  return record->constant ? LONG_MAX : record->references.load();
}

CFTypeID CFGetTypeID(CFTypeRef object) {
  return standin::AsObject(object)->type;
}

Boolean CFEqual(CFTypeRef object1, CFTypeRef object2) {
  const StandinCFObject* left = standin::AsObject(object1);
  const StandinCFObject* right = standin::AsObject(object2);
  if (left == right) {
    return true;
  }
  if (left->type != right->type) {
    return false;
  }
  return ObjectsEqual(left, right);
}

// ---- arrays ----

CFTypeID CFArrayGetTypeID(void) {
  return standin::kArrayType;
}

CFArrayRef CFArrayCreate(CFAllocatorRef, const void** values, CFIndex count,
                         const CFArrayCallBacks* callBacks) {
  if (count < 0 || (count > 0 && values == nullptr) || CreateFails()) {
    return nullptr;
  }
  // A create call answers an allocation failure with NULL, never with an
  // exception that its C caller could not catch.
  auto* array = new (std::nothrow) StandinCFArray();
  if (array == nullptr) {
    return nullptr;
  }
  if (callBacks != nullptr) {
    array->callbacks = *callBacks;
  }
  // Room for every value before the first is retained, so that no push
  // below can fail with a retained value in no one's hands.
  try {
    array->values.reserve(static_cast<size_t>(count));
  } catch (const std::bad_alloc&) {
    delete array;
    return nullptr;
  } catch (const std::length_error&) {
    delete array;
    return nullptr;
  }
  for (CFIndex i = 0; i < count; ++i) {
    const void* value = values[i];
    if (array->callbacks.retain != nullptr) {
      value = array->callbacks.retain(kCFAllocatorDefault, value);
    }
    array->values.push_back(value);
  }
  return reinterpret_cast<CFArrayRef>(static_cast<StandinCFObject*>(array));
}

CFIndex CFArrayGetCount(CFArrayRef array) {
  return static_cast<CFIndex>(AsArray(array)->values.size());
}

const void* CFArrayGetValueAtIndex(CFArrayRef array, CFIndex index) {
  const StandinCFArray* record = AsArray(array);
  if (index < 0 || static_cast<size_t>(index) >= record->values.size()) {
    standin::Crash("CFArrayGetValueAtIndex out of bounds");
  }
  return record->values[static_cast<size_t>(index)];
}

// ---- dictionaries ----

CFTypeID CFDictionaryGetTypeID(void) {
  return standin::kDictionaryType;
}

CFDictionaryRef CFDictionaryCreate(CFAllocatorRef, const void** keys, const void** values,
                                   CFIndex count, const CFDictionaryKeyCallBacks* keyCallBacks,
                                   const CFDictionaryValueCallBacks* valueCallBacks) {
  if (count < 0 || (count > 0 && (keys == nullptr || values == nullptr)) || CreateFails()) {
    return nullptr;
  }
  auto* dictionary = new (std::nothrow) StandinCFDictionary();
  if (dictionary == nullptr) {
    return nullptr;
  }
  try {
    dictionary->pairs.reserve(static_cast<size_t>(count));
  } catch (const std::bad_alloc&) {
    delete dictionary;
    return nullptr;
  } catch (const std::length_error&) {
    delete dictionary;
    return nullptr;
  }
  if (keyCallBacks != nullptr) {
    dictionary->key_callbacks = *keyCallBacks;
  }
  if (valueCallBacks != nullptr) {
    dictionary->value_callbacks = *valueCallBacks;
  }
  for (CFIndex i = 0; i < count; ++i) {
    const void* key = keys[i];
    const void* value = values[i];
    if (dictionary->value_callbacks.retain != nullptr) {
      value = dictionary->value_callbacks.retain(kCFAllocatorDefault, value);
    }
    auto* existing = const_cast<std::pair<const void*, const void*>*>(FindPair(dictionary, key));
    if (existing != nullptr) {
      // A repeated key replaces the earlier value, as CoreFoundation does.
      if (dictionary->value_callbacks.release != nullptr) {
        dictionary->value_callbacks.release(kCFAllocatorDefault, existing->second);
      }
      existing->second = value;
      continue;
    }
    if (dictionary->key_callbacks.retain != nullptr) {
      key = dictionary->key_callbacks.retain(kCFAllocatorDefault, key);
    }
    dictionary->pairs.emplace_back(key, value);
  }
  return reinterpret_cast<CFDictionaryRef>(static_cast<StandinCFObject*>(dictionary));
}

CFIndex CFDictionaryGetCount(CFDictionaryRef dictionary) {
  return static_cast<CFIndex>(AsDictionary(dictionary)->pairs.size());
}

Boolean CFDictionaryContainsKey(CFDictionaryRef dictionary, const void* key) {
  return FindPair(AsDictionary(dictionary), key) != nullptr;
}

const void* CFDictionaryGetValue(CFDictionaryRef dictionary, const void* key) {
  const auto* pair = FindPair(AsDictionary(dictionary), key);
  return pair == nullptr ? nullptr : pair->second;
}

// ---- strings ----

CFTypeID CFStringGetTypeID(void) {
  return standin::kStringType;
}

CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const UInt8* bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean) {
  if (encoding != kCFStringEncodingUTF8 || numBytes < 0 || (numBytes > 0 && bytes == nullptr)) {
    return nullptr;
  }
  const size_t length = static_cast<size_t>(numBytes);
  if (!IsValidUtf8(bytes, length) || CreateFails()) {
    return nullptr;
  }
  try {
    std::unique_ptr<char[]> storage(new char[length + 1]);
    if (length > 0) {
      memcpy(storage.get(), bytes, length);
    }
    storage[length] = '\0';
    auto* string = new StandinCFString(std::move(storage), length);
    return reinterpret_cast<CFStringRef>(static_cast<StandinCFObject*>(string));
  } catch (const std::bad_alloc&) {
    return nullptr;
  } catch (const std::length_error&) {
    return nullptr;
  }
}

CFStringRef CFStringCreateWithCString(CFAllocatorRef allocator, const char* cString,
                                      CFStringEncoding encoding) {
  if (cString == nullptr) {
    return nullptr;
  }
  return CFStringCreateWithBytes(allocator, reinterpret_cast<const UInt8*>(cString),
                                 static_cast<CFIndex>(strlen(cString)), encoding, false);
}

CFIndex CFStringGetLength(CFStringRef string) {
  return static_cast<CFIndex>(AsString(string)->bytes.size());
}

Boolean CFStringGetCString(CFStringRef string, char* buffer, CFIndex bufferSize,
                           CFStringEncoding encoding) {
  const std::string_view bytes = AsString(string)->bytes;
  if (encoding != kCFStringEncodingUTF8 || buffer == nullptr || bufferSize <= 0 ||
      bytes.size() + 1 > static_cast<size_t>(bufferSize)) {
    return false;
  }
  memcpy(buffer, bytes.data(), bytes.size());
  buffer[bytes.size()] = '\0';
  return true;
}

// ---- numbers and booleans ----

CFTypeID CFNumberGetTypeID(void) {
  return standin::kNumberType;
}

CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType theType, const void* valuePtr) {
  if (valuePtr == nullptr || CreateFails()) {
    return nullptr;
  }
  int64_t value = 0;
  switch (theType) {
    case kCFNumberSInt32Type:
    case kCFNumberIntType: {
      int32_t v;
      memcpy(&v, valuePtr, sizeof v);
      value = v;
      break;
    }
    case kCFNumberSInt64Type:
    case kCFNumberLongType: {
      long v;
      memcpy(&v, valuePtr, sizeof v);
      value = v;
      break;
    }
    default:
      return nullptr;
  }
  auto* number = new (std::nothrow) StandinCFNumber(value);
  if (number == nullptr) {
    return nullptr;
  }
  return reinterpret_cast<CFNumberRef>(static_cast<StandinCFObject*>(number));
}

Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr) {
  const auto* record = standin::AsRecord<StandinCFNumber>(number, standin::kNumberType);
  if (record == nullptr || valuePtr == nullptr) {
    standin::Crash("CFNumberGetValue called with a non-number");
  }
  const int64_t value = record->value;
  if (theType == kCFNumberIntType || theType == kCFNumberSInt32Type) {
    const int v = static_cast<int>(value);
    memcpy(valuePtr, &v, sizeof v);
    return value >= INT_MIN && value <= INT_MAX;
  }
  if (theType == kCFNumberLongType || theType == kCFNumberSInt64Type) {
    const long v = static_cast<long>(value);
    memcpy(valuePtr, &v, sizeof v);
    return true;
  }
  return false;
}

CFTypeID CFBooleanGetTypeID(void) {
  return standin::kBooleanType;
}

Boolean CFBooleanGetValue(CFBooleanRef boolean) {
  return RecordOrCrash<StandinCFBoolean>(boolean, standin::kBooleanType,
                                         "CFBooleanGetValue called with a non-boolean")
      ->value;
}

}  // extern "C"
