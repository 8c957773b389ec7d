#include "kivora/profiles/profile.h"

#include <algorithm>

#include "kivora/converter/converter.h"
#include "kivora/platform/classes.h"
#include "kivora/platform/exception.h"
#include "kivora/profiles/custom.h"

namespace kivora {

std::string ProfileKey(const char* name, int index) { return name + std::to_string(index); }

// ---- TAVProfile ----

TAVProfile::TAVProfile(TComponent* AOwner) : TComponent(AOwner) {}

TAVProfile::~TAVProfile() {
  if (FProfileList) FProfileList->Detach(this);
}

void TAVProfile::SetProfileList(TAVProfileList* Value) {
  if (Value == FProfileList) return;
  if (Value) {
    Value->AddProfile(this);  // carries the ownership along
  } else {
    FProfileList->Detach(this);  // the caller owns it now
  }
}

int TAVProfile::GetIndex() const { return FProfileList ? FProfileList->IndexOf(this) : -1; }

void TAVProfile::SetIndex(int NewIndex) {
  if (FProfileList) FProfileList->MoveProfile(this, NewIndex);
}

bool TAVProfile::ApplyProfile(TAVConverter& Converter) { return ApplyToOptions(Converter.ConvertOptions()); }

bool TAVProfile::ApplyToOptions(TAVConvertOptions&) { throw EAbstractError(); }

void TAVProfile::LoadFromFile(const TIniFile& Ini, int Index) { DoLoadProfile(Ini, Index); }

namespace {

// Whether key belongs to profile number index: its trailing digits are the
// number, written as ProfileKey writes it ("Width12" is 12's, not 2's).
bool KeyOfNumber(const std::string& key, const std::string& number) {
  return key.size() > number.size() && key.compare(key.size() - number.size(), number.size(), number) == 0 &&
         !(key[key.size() - number.size() - 1] >= '0' && key[key.size() - number.size() - 1] <= '9');
}

}  // namespace

void TAVProfile::SaveToFile(TIniFile& Ini, int Index) const {
  // The keys go to an INI in memory first, which checks every value: a value
  // that cannot be stored fails the save before Ini has changed.
  TIniFile staged("");
  DoSaveProfile(staged, Index);
  // The number's old keys go, so nothing of a profile of another class saved
  // there before is left to be read back with this one.
  const std::string number = std::to_string(Index);
  Ini.DeleteKeys(PROFILE_SECTION, [&](const std::string& key) { return KeyOfNumber(key, number); });
  TStringList keys;
  staged.ReadSections(keys);
  for (const std::string& section : keys.Lines()) {
    TStringList names;
    staged.ReadSection(section, names);
    for (const std::string& name : names) Ini.WriteString(section, name, staged.ReadString(section, name, ""));
  }
}

void TAVProfile::DoSaveProfile(TIniFile& Ini, int Index) const {
  Ini.WriteString(PROFILE_SECTION, ProfileKey("Description", Index), FDescription);
  Ini.WriteString(PROFILE_SECTION, ProfileKey("Extension", Index), GetExtension());
  Ini.WriteString(PROFILE_SECTION, ProfileKey("Category", Index), FCategory);
}

void TAVProfile::DoLoadProfile(const TIniFile& Ini, int Index) {
  FDescription = Ini.ReadString(PROFILE_SECTION, ProfileKey("Description", Index), FDescription);
  SetExtension(Ini.ReadString(PROFILE_SECTION, ProfileKey("Extension", Index), GetExtension()));
  FCategory = Ini.ReadString(PROFILE_SECTION, ProfileKey("Category", Index), FCategory);
}

void TAVProfile::Notification(TComponent* AComponent, TOperation Operation) {
  TComponent::Notification(AComponent, Operation);
  // The list normally detaches its members before it goes; this covers a
  // list torn down some other way.
  if (Operation == TOperation::opRemove && FProfileList && AComponent == FProfileList) {
    FProfileList = nullptr;
    FOwnedByList = false;
  }
}

// ---- TAVProfileList ----

TAVProfileList::TAVProfileList(TComponent* AOwner) : TComponent(AOwner) {}

TAVProfileList::~TAVProfileList() {
  FCategories.Clear();
  while (!FProfiles.empty()) {
    TAVProfile* p = FProfiles.back();
    if (Detach(p)) delete p;
  }
}

void TAVProfileList::Attach(TAVProfile* Profile, bool Owned) {
  FProfiles.push_back(Profile);
  Profile->FProfileList = this;
  Profile->FOwnedByList = Owned;
  Profile->FreeNotification(this);
}

bool TAVProfileList::Detach(TAVProfile* Profile) {
  auto it = std::find(FProfiles.begin(), FProfiles.end(), Profile);
  if (it == FProfiles.end()) return false;
  FProfiles.erase(it);
  const bool owned = Profile->FOwnedByList;
  Profile->FProfileList = nullptr;
  Profile->FOwnedByList = false;
  Profile->RemoveFreeNotification(this);
  return owned;
}

void TAVProfileList::AddProfile(TAVProfile* Profile) {
  if (!Profile || Profile->FProfileList == this) return;
  const bool owned = Profile->FProfileList ? Profile->FProfileList->Detach(Profile) : false;
  Attach(Profile, owned);
}

TAVProfile* TAVProfileList::AddProfile(std::unique_ptr<TAVProfile> Profile) {
  TAVProfile* p = Profile.release();
  if (!p) return nullptr;
  if (p->FProfileList) p->FProfileList->Detach(p);
  Attach(p, true);
  return p;
}

std::unique_ptr<TAVProfile> TAVProfileList::RemoveProfile(TAVProfile* Profile) {
  if (Profile && Detach(Profile)) return std::unique_ptr<TAVProfile>(Profile);
  return nullptr;
}

void TAVProfileList::Clear() {
  for (int i = ProfileCount() - 1; i >= 0; --i) {
    // A deleted profile may have taken others with it: stay inside the list.
    if (i >= ProfileCount()) continue;
    TAVProfile* p = FProfiles[static_cast<size_t>(i)];
    if (dynamic_cast<TAVCustomAudioProfile*>(p) && Detach(p)) delete p;
  }
}

TAVProfile* TAVProfileList::GetProfile(int Index) const {
  if (Index < 0 || Index >= ProfileCount()) throw Exception(Format("List index out of bounds (%d)", Index));
  return FProfiles[static_cast<size_t>(Index)];
}

void TAVProfileList::SetProfile(int Index, const TAVProfile& Value) {
  TAVProfile* target = GetProfile(Index);
  throw EAssignError(Format("Cannot assign a %s to a %s", Value.ClassName(), target->ClassName()));
}

int TAVProfileList::IndexOf(const TAVProfile* Profile) const {
  auto it = std::find(FProfiles.begin(), FProfiles.end(), Profile);
  return it == FProfiles.end() ? -1 : static_cast<int>(it - FProfiles.begin());
}

void TAVProfileList::MoveProfile(TAVProfile* Profile, int NewIndex) {
  const int cur = IndexOf(Profile);
  if (cur < 0) return;
  NewIndex = std::clamp(NewIndex, 0, ProfileCount() - 1);
  if (NewIndex == cur) return;
  FProfiles.erase(FProfiles.begin() + cur);
  FProfiles.insert(FProfiles.begin() + NewIndex, Profile);
}

void TAVProfileList::Notification(TComponent* AComponent, TOperation Operation) {
  TComponent::Notification(AComponent, Operation);
  if (Operation != TOperation::opRemove) return;
  // A profile leaves in its own destructor; by the time the component base
  // reports it, only the address is left to compare.
  std::erase_if(FProfiles, [&](TAVProfile* p) { return static_cast<TComponent*>(p) == AComponent; });
}

// Makes the class known by name to stored forms and tools.
KIVORA_REGISTER_CLASS(TAVProfileList, "profile list");

}  // namespace kivora
