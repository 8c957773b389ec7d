#pragma once
// Conversion profiles: a profile configures a converter for one kind of
// output in one call (ApplyProfile). TAVProfileList groups profiles. Profiles
// are stored side by side in the one section "Profile" of an INI file, every
// key carrying the profile's number (Description0, AudioEncoder3, ...).
#include <memory>
#include <string>
#include <vector>

#include "kivora/platform/component.h"
#include "kivora/platform/inifile.h"
#include "kivora/platform/stringlist.h"

namespace kivora {

class TAVConverter;
class TAVConvertOptions;
class TAVProfileList;

// The INI section that holds every profile of a profile file.
inline constexpr const char* PROFILE_SECTION = "Profile";
// The key of setting name for profile number index ("Description" + 3 = "Description3").
std::string ProfileKey(const char* name, int index);

// Profiles and lists hold no locks: one thread at a time uses them (for a
// converter's options, the thread that calls Convert).
class TAVProfile : public TComponent {
public:
  explicit TAVProfile(TComponent* AOwner = nullptr);
  // Leaves its list.
  ~TAVProfile() override;

  const std::string& Description() const { return FDescription; }
  void SetDescription(const std::string& Value) { FDescription = Value; }
  // Output file extension with the dot (".mpg").
  std::string Extension() const { return GetExtension(); }
  const std::string& Category() const { return FCategory; }
  void SetCategory(const std::string& Value) { FCategory = Value; }

  // The list this profile is in, or null.
  TAVProfileList* ProfileList() const { return FProfileList; }
  // Leaves the current list and joins Value (null: joins none). A profile the
  // list owned stays owned by the list it moves to; moved to no list, it
  // belongs to the caller again.
  void SetProfileList(TAVProfileList* Value);
  // Position in the list; -1 without a list.
  int Index() const { return GetIndex(); }
  int GetIndex() const;
  // Moves the profile to NewIndex, clamped to the list; nothing without a list.
  void SetIndex(int NewIndex);

  virtual std::string GetExtension() const { return FExtension; }
  virtual void SetExtension(const std::string& Value) { FExtension = Value; }

  // Writes the profile's settings into the converter's options; true when
  // done. It hands them to ApplyToOptions, which is what a profile class
  // overrides; the base class has no settings and raises EAbstractError.
  // A conversion under way keeps its own copy: the next Convert sees them.
  virtual bool ApplyProfile(TAVConverter& Converter);
  // The same for an options object on its own (one that is then given to
  // several converters, or inspected).
  virtual bool ApplyToOptions(TAVConvertOptions& Options);

  // Reads or writes profile number Index in the "Profile" section of Ini.
  // Reading keeps the current value of every setting whose key is missing or
  // holds no valid value, so a missing, empty or garbled file changes nothing.
  // Writing first checks every value: one that cannot be stored (a line
  // break) raises Exception with Ini unchanged. It then replaces every key
  // the number had, so nothing of what was saved there before is left.
  void LoadFromFile(const TIniFile& Ini, int Index);
  void SaveToFile(TIniFile& Ini, int Index) const;

  virtual const char* ClassName() const { return "TAVProfile"; }

protected:
  virtual void DoSaveProfile(TIniFile& Ini, int Index) const;
  virtual void DoLoadProfile(const TIniFile& Ini, int Index);
  void Notification(TComponent* AComponent, TOperation Operation) override;

  std::string FDescription;
  std::string FExtension;
  std::string FCategory;

private:
  friend class TAVProfileList;
  TAVProfileList* FProfileList = nullptr;
  bool FOwnedByList = false;
};

// An ordered group of profiles. A profile is in at most one list, once. The
// list deletes only the profiles handed to it as std::unique_ptr; the others
// (on the stack, in the application's own pointers) are detached, never
// deleted, when the list is cleared or destroyed.
class TAVProfileList : public TComponent {
public:
  explicit TAVProfileList(TComponent* AOwner = nullptr);
  // Deletes the profiles it owns and detaches the others, last first.
  ~TAVProfileList() override;

  // Appends Profile (leaving any other list first); the caller keeps it.
  void AddProfile(TAVProfile* Profile);
  // Appends Profile and owns it from now on; returns it.
  TAVProfile* AddProfile(std::unique_ptr<TAVProfile> Profile);
  template <typename T>
  T* AddProfile(std::unique_ptr<T> Profile) {
    T* p = Profile.get();
    AddProfile(std::unique_ptr<TAVProfile>(Profile.release()));
    return p;
  }
  // Takes Profile out of the list. A profile the list owned comes back to
  // the caller in the result (deleted with it unless kept); otherwise the
  // result is empty.
  std::unique_ptr<TAVProfile> RemoveProfile(TAVProfile* Profile);
  // Takes out the custom audio and video profiles (deleting those the list
  // owns); the other profiles stay.
  void Clear();

  // Raises the string list's "List index out of bounds (n)" outside 0..count-1.
  TAVProfile* Profiles(int Index) const { return GetProfile(Index); }
  TAVProfile* GetProfile(int Index) const;
  // Profiles define no assignment: always raises EAssignError.
  void SetProfile(int Index, const TAVProfile& Value);
  int ProfileCount() const { return static_cast<int>(FProfiles.size()); }
  int IndexOf(const TAVProfile* Profile) const;

  // Category names offered to the application.
  TStringList& Categories() { return FCategories; }
  const TStringList& Categories() const { return FCategories; }
  void SetCategories(const TStringList& Value) { FCategories.Assign(Value); }

protected:
  void Notification(TComponent* AComponent, TOperation Operation) override;

private:
  friend class TAVProfile;
  void Attach(TAVProfile* Profile, bool Owned);
  // Takes Profile out; returns whether the list owned it.
  bool Detach(TAVProfile* Profile);
  void MoveProfile(TAVProfile* Profile, int NewIndex);

  std::vector<TAVProfile*> FProfiles;
  TStringList FCategories;
};

}  // namespace kivora
