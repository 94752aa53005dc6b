#pragma once

#include <cstdint>

#include "host.h"

// Whether two files are one: the rule that keeps the cause line out of the
// data files, and that words a data2.dat the system refuses to replace. It
// errs only toward "may be": a line kept out loses no data.
namespace Module1 {

// Whether the file system vouches for the ID: one without file IDs reports 0,
// one that cannot make an ID unique reports all ones (in 64 or 128 bits), and
// neither tells one file from another.
inline bool id_known(const host::FileId& id) {
  constexpr std::uint64_t kAllOnes = ~std::uint64_t{0};
  const bool none = id.high == 0 && id.low == 0;
  const bool not_unique = id.low == kAllOnes && (id.high == 0 || id.high == kAllOnes);
  return !none && !not_unique;
}

// Whether a file on volume `a` may be on volume `b`: a volume serial of 0 is
// none the system gave (Wine gives a standard handle made from a Unix
// descriptor a 128-bit ID without one).
inline bool volumes_may_match(std::uint64_t a, std::uint64_t b) {
  return a == b || a == 0 || b == 0;
}

// Whether the IDs are equal: the 128-bit IDs where both files give them (the
// 64-bit index of a ReFS file need not be unique), else the 64-bit ones.
// Unequal IDs prove nothing: network redirectors make IDs up (the VirtualBox
// shared folders give each name its own, Remote Desktop drives kernel
// addresses).
inline bool ids_equal(const host::FileIdentity& a, const host::FileIdentity& b) {
  if (id_known(a.wide_id) && id_known(b.wide_id)) {
    return a.wide_id.high == b.wide_id.high && a.wide_id.low == b.wide_id.low &&
           volumes_may_match(a.wide_id.volume, b.wide_id.volume);
  }
  return id_known(a.id) && id_known(b.id) && a.id == b.id;
}

// Whether the IDs prove the two files one: equal, and of a form that the
// system vouches unique.
inline bool ids_prove_same(const host::FileIdentity& a, const host::FileIdentity& b) {
  const bool wide = id_known(a.wide_id) && id_known(b.wide_id);
  return ids_equal(a, b) && (wide || (a.id_unique && b.id_unique));
}

// Whether the file `candidate` may be the file `known`; where the system
// cannot tell, yes. Equal IDs make one file. Failing those:
// - where no form of ID could be compared, a candidate with more than one
//   name may be a hard link to `known`, which only IDs could rule out;
// - equal final paths make one file (a symbolic link);
// - one volume, one size and the same two times make one file: a redirector
//   that makes IDs up per name, and reports one link, still reports those.
inline bool may_be_same_file(const host::FileIdentity& candidate, const host::FileIdentity& known) {
  if (!candidate.described || !known.described || ids_equal(candidate, known)) return true;
  const bool ids_compared = (id_known(candidate.id) && id_known(known.id)) ||
                            (id_known(candidate.wide_id) && id_known(known.wide_id));
  if (!ids_compared && candidate.links > 1) return true;
  if (!candidate.final_path.empty() && candidate.final_path == known.final_path) return true;
  // A handle that only the newer calls describe has no 64-bit ID and so no
  // volume of that form: its 128-bit ID's volume is compared instead.
  const bool same_volume =
      volumes_may_match(candidate.id.volume, known.id.volume) ||
      (candidate.wide_id.volume != 0 && candidate.wide_id.volume == known.wide_id.volume);
  return same_volume && candidate.state == known.state && candidate.changed == known.changed;
}

}  // namespace Module1
