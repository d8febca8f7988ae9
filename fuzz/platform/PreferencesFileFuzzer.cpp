// Property: any bytes in a preferences file give lookups that neither fail nor throw: a value
// when the file is a JSON object holding the key, else null. Each input is written as the file
// of a fresh domain, since a domain's file is read once per process.

#include "platform/Preferences.hpp"

#include "support/FuzzEnvironment.hpp"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::PrepareEnvironment();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static unsigned long run = 0;
  const std::string domain = "com.zorbel.fuzz." + std::to_string(++run);
  const std::string path = platform::PreferencesFilePath(domain);
  {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }

  const auto parsed = nlohmann::json::parse(data, data + size, nullptr, /*allow_exceptions=*/false);
  for (const char* key : {"Debug", "Zany", ""}) {
    const nlohmann::json value = platform::PreferenceValue(key, domain);
    const bool expected = parsed.is_object() && parsed.contains(key);
    if (expected ? value != parsed.at(key) : !value.is_null()) std::abort();
  }
  // A second lookup comes from what was read the first time, not from the file.
  std::remove(path.c_str());
  // (A stored null must still read as null, so compare with the value, not with "is null".)
  if (parsed.is_object() && parsed.contains("Debug") &&
      platform::PreferenceValue("Debug", domain) != parsed.at("Debug"))
    std::abort();
  return 0;
}
