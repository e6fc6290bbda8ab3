// Terminal store: user list with an index by enrolment number, and its file form.
#include "terminal/TerminalStore.h"

#include "terminal/DurableStore.h"

namespace vantorix {

namespace {

constexpr char kStoreMagic[7] = {'V', 'T', 'S', 'T', 'O', 'R', 'E'};
// Version 1 had no generation; it loads and is written as version 2 by the next compaction.
constexpr char kStoreVersion1 = '1';
constexpr char kStoreVersion2 = '2';

}  // namespace

const TStoredUser* TTerminalStore::Find(const std::u16string& enrollNumber) const {
  auto it = fIndex.find(enrollNumber);
  return it == fIndex.end() ? nullptr : &fUsers[it->second];
}

TStoredUser* TTerminalStore::Find(const std::u16string& enrollNumber) {
  auto it = fIndex.find(enrollNumber);
  return it == fIndex.end() ? nullptr : &fUsers[it->second];
}

TStoredUser& TTerminalStore::Put(const TLinkUser& info) {
  if (TStoredUser* user = Find(info.enrollNumber)) {
    user->info = info;
    return *user;
  }
  fIndex.emplace(info.enrollNumber, fUsers.size());
  fUsers.push_back(TStoredUser{info, {}});
  return fUsers.back();
}

bool TTerminalStore::Remove(const std::u16string& enrollNumber) {
  auto it = fIndex.find(enrollNumber);
  if (it == fIndex.end()) {
    return false;
  }
  std::size_t position = it->second;
  fUsers.erase(fUsers.begin() + static_cast<std::ptrdiff_t>(position));
  fIndex.erase(it);
  for (auto& entry : fIndex) {
    if (entry.second > position) {
      --entry.second;
    }
  }
  return true;
}

std::size_t TTerminalStore::TemplateCount() const {
  std::size_t n = 0;
  for (const auto& user : fUsers) {
    for (const auto& finger : user.fingers) {
      n += finger.has_value() ? 1 : 0;
    }
  }
  return n;
}

std::vector<std::uint8_t> TTerminalStore::Encode(std::uint64_t generation) const {
  TLinkWriter w;
  for (char c : kStoreMagic) {
    w.U8(static_cast<std::uint8_t>(c));
  }
  w.U8(static_cast<std::uint8_t>(kStoreVersion2));
  w.U32(static_cast<std::uint32_t>(generation));
  w.U32(static_cast<std::uint32_t>(generation >> 32));
  w.U32(static_cast<std::uint32_t>(fUsers.size()));
  for (const auto& user : fUsers) {
    w.User(user.info);
    std::uint16_t present = 0;
    for (int i = 0; i < kFingerSlots; ++i) {
      if (user.fingers[static_cast<std::size_t>(i)]) {
        present = static_cast<std::uint16_t>(present | (1u << i));
      }
    }
    w.U16(present);
    for (const auto& finger : user.fingers) {
      if (finger) {
        w.I32(finger->flag);
        w.Text(finger->data);
      }
    }
  }
  return std::move(w.Bytes());
}

TTerminalStore TTerminalStore::Decode(std::span<const std::uint8_t> bytes,
                                      std::uint64_t* generation) {
  TLinkReader r(bytes);
  for (char c : kStoreMagic) {
    if (r.U8() != static_cast<std::uint8_t>(c)) {
      throw ELinkProtocolError("not a terminal store");
    }
  }
  std::uint8_t version = r.U8();
  std::uint64_t number = 0;
  if (version == static_cast<std::uint8_t>(kStoreVersion2)) {
    number = r.U32();
    number |= static_cast<std::uint64_t>(r.U32()) << 32;
  } else if (version != static_cast<std::uint8_t>(kStoreVersion1)) {
    throw ELinkProtocolError("not a terminal store");
  }
  if (generation != nullptr) {
    *generation = number;
  }
  TTerminalStore store;
  std::uint32_t count = r.U32();
  for (std::uint32_t i = 0; i < count; ++i) {
    TLinkUser info = r.User();
    if (store.Find(info.enrollNumber) != nullptr) {
      throw ELinkProtocolError("duplicate user in store");
    }
    TStoredUser& user = store.Put(info);
    std::uint16_t present = r.U16();
    if (present >> kFingerSlots) {
      throw ELinkProtocolError("finger slot out of range in store");
    }
    for (int f = 0; f < kFingerSlots; ++f) {
      if (present & (1u << f)) {
        TStoredTemplate fp;
        fp.flag = r.I32();
        fp.data = r.Text();
        user.fingers[static_cast<std::size_t>(f)] = std::move(fp);
      }
    }
  }
  r.End();
  return store;
}

TTerminalStore TTerminalStore::Load(const std::string& path) {
  TSystemStoreFiles files;
  return TDurableStore(files, path).Store();
}

void TTerminalStore::Save(const std::string& path) const {
  TSystemStoreFiles files;
  TDurableStore store(files, path);
  store.Edit([this](TTerminalStore& contents) { contents = *this; });
  store.Commit();
}

void FillDemoUsers(TTerminalStore& store) {
  struct TDemo {
    const char16_t* number;
    const char16_t* name;
    const char16_t* card;
    std::int32_t privilege;
    int fingers;
  };
  const TDemo demo[] = {{u"1", u"Ada Admin", u"10001", 3, 2},
                        {u"2", u"Ben Baker", u"", 0, 1},
                        {u"3", u"Chloe Chen", u"10003", 0, 3},
                        {u"4", u"Dmitri Dahl", u"", 0, 0}};
  for (const auto& d : demo) {
    TStoredUser& user = store.Put(TLinkUser{d.number, d.name, u"", d.privilege, true, d.card});
    for (int f = 0; f < d.fingers; ++f) {
      std::u16string data = u"DEMO-" + std::u16string(d.number) + u"-" +
                            static_cast<char16_t>(u'0' + f) + u"-TEMPLATE";
      user.fingers[static_cast<std::size_t>(f * 3 % kFingerSlots)] = TStoredTemplate{1, data};
    }
  }
}

}  // namespace vantorix
