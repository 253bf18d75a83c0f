// The NFC writer behind UnicodeNfc: trivial text passes through, the
// stretches around the rest go to ICU.
#include <unicode/ustring.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <memory>
#include <quorvane/hardbinding/provided.hpp>
#include <vector>

#include "provided/nfc.hpp"
#include "provided/nfc_data.hpp"
#include "simd/scan.hpp"

namespace quorvane::hardbinding::provided {
namespace {

using simd::first_at_least;
using simd::kNotScalarValues;
using simd::pass_plain_blocks;
using simd::PlainBlocks;
using simd::utf8_from_utf16;

void write(hardbinding::ByteSink& sink, std::string_view bytes) {
  if (!bytes.empty()) sink.write(wrapper::as_bytes(bytes));
}

// Normalises a text given as pieces, in one pass over its characters:
// trivial stretches go to the sink as they are; everything from the
// character before the first non-trivial one up to the next boundary where
// enough trivial text follows goes to ICU, a stretch of at most `limit`
// bytes at a time where a boundary allows. Stretches that cross a piece
// edge are gathered into a buffer; others are read where they lie.
class NfcWriter {
 public:
  NfcWriter(hardbinding::ByteSink& sink, std::size_t limit)
      : sink_(sink), t_(table()), limit_(std::clamp<std::size_t>(limit, 1, INT32_MAX - 8)) {}

  // `code_points`, when given, are exactly those of `piece`: pending text
  // is then read a block of them at a time where nothing happens in it.
  void feed(std::string_view piece, bool last, std::span<const char32_t> code_points = {}) {
    const auto* p = reinterpret_cast<const unsigned char*>(piece.data());
    const std::size_t n = piece.size();
    Blocks blocks{code_points};
    std::size_t i = 0;
    std::size_t plain_from = 0;  // start of the trivial text not yet written
    std::size_t pend_from = 0;   // start of the pending text of this piece
    while (i < n) {
      if (!pending_) {
        const std::size_t j = first_non_trivial(t_, p, i, n);
        if (j == n) {
          i = n;
          break;
        }
        // The character before j may compose with it: the stretch for ICU
        // starts there (a trivial character has a boundary before it).
        if (j > plain_from) {
          pend_from = char_start_before(p, j);
          write(sink_, carry_);
          write(sink_, piece.substr(plain_from, pend_from - plain_from));
        } else {
          pend_from = j;
          buffer_ = carry_;  // the last character of the previous piece, if any
        }
        carry_.clear();
        start_pending();
        add16(buffer_);
        add16(piece.substr(pend_from, j - pend_from));
        i = j;
      }
      std::size_t size = buffer_.size() + (i - pend_from);
      if (i >= blocks.retry_at && !long_run_ && !blocks.code_points.empty()) {
        const std::size_t k = blocks.index_of(p, i);
        // The stretch stays below limit_ bytes, so no cut is due in it.
        const std::size_t budget = limit_ - std::min(size + 1, limit_);
        const auto ahead = blocks.code_points.subspan(k);
        const PlainBlocks passed =
            pass_plain_blocks(ahead, room16(std::min(2 * ahead.size(), budget)), t_.classes(),
                              budget, kTail, kSortRun, tail_, run_);
        if (passed.code_points != 0) {
          units_ += passed.units;
          i += passed.bytes;
          blocks.at = {i, k + passed.code_points};
          continue;
        }
        // Something happens at this character: it is read below, and
        // characters one at a time for a little while.
        blocks.retry_at = i + kRetryAfter;
      }
      if (p[i] < 0xCC) {
        // Bytes below 0xCC are all parts of trivial characters (see
        // first_non_trivial): taken together, up to the first character
        // where the stretch ends (kTail trivial bytes, or the limit).
        const std::size_t stop =
            i + std::min(kTail - std::min(tail_, kTail), limit_ - std::min(size, limit_));
        const std::size_t k = widen(p, i, std::min(n, stop));
        if (k < n && p[k] < 0xCC) {
          flush(piece.substr(pend_from, k - pend_from));
          plain_from = i = k;
          continue;
        }
        run_ = 0;
        tail_ += k - i;
        i = k;
        continue;
      }
      if ((p[i] & 0xF0) == 0xE0 && size < limit_) {
        // A run of 3-byte characters (jamo, kana with voicing marks): a
        // loop of its own while the stretch goes on; the character where it
        // may end is left to the general case below.
        const std::size_t end = std::min(n, i + (limit_ - size));
        bool ended = false;
        // Kept in locals for the loop; room for every unit it can add.
        std::size_t tail = tail_;
        std::size_t run = run_;
        bool long_run = long_run_;
        char16_t* out = room16((end - i) / 3 + 1);
        char16_t* const start = out;
        // Without a branch on whether each character is trivial: in text
        // such as conjoining jamo the two alternate unpredictably.
        do {
          const char32_t c =
              ((p[i] & 0x0Fu) << 12) | ((p[i + 1] & 0x3Fu) << 6) | (p[i + 2] & 0x3Fu);
          const bool trivial = t_.trivial(c);
          if (trivial && tail >= kTail) {
            ended = true;
            break;
          }
          const bool non_starter = t_.non_starter(c) & !trivial;
          tail = trivial ? tail + 3 : 0;
          run = non_starter ? run + 1 : 0;
          long_run |= run > kSortRun;
          *out = static_cast<char16_t>(c);
          out += long_run ? 0 : 1;
          i += 3;
        } while (i < end && (p[i] & 0xF0) == 0xE0);
        tail_ = tail;
        run_ = run;
        long_run_ = long_run;
        units_ += static_cast<std::size_t>(out - start);
        if (!ended) continue;
        size = buffer_.size() + (i - pend_from);
      }
      std::size_t width = 1;
      const char32_t c = decode(p, i, width);
      if (t_.trivial(c)) {
        run_ = 0;
        if (tail_ >= kTail || size >= limit_) {
          flush(piece.substr(pend_from, i - pend_from));
          plain_from = i;
          continue;
        }
        tail_ += width;
      } else {
        tail_ = 0;
        if (size >= limit_ &&
            (size >= INT32_MAX - 8 || nfc().hasBoundaryBefore(static_cast<UChar32>(c)))) {
          // Only a stretch of over 2 GiB without any boundary is cut at a
          // character that has none.
          flush(piece.substr(pend_from, i - pend_from));
          pend_from = i;
          start_pending();
        }
        if (t_.non_starter(c)) {
          if (++run_ > kSortRun) long_run_ = true;
        } else {
          run_ = 0;
        }
      }
      if (!long_run_) add16(c);
      i += width;
    }
    if (pending_) {
      if (last) {
        flush(piece.substr(pend_from));
      } else {
        buffer_.append(piece.substr(pend_from));
      }
    } else if (last) {
      write(sink_, carry_);
      carry_.clear();
      write(sink_, piece.substr(plain_from));
    } else if (n > plain_from) {
      // Hold the last character back: it may compose with the next piece.
      const std::size_t k = char_start_before(p, n);
      write(sink_, carry_);
      if (k > plain_from) write(sink_, piece.substr(plain_from, k - plain_from));
      carry_.assign(piece.substr(std::max(k, plain_from)));
    }
  }

  // feed(piece, false) for a piece known to hold only trivial characters.
  void feed_trivial(std::string_view piece) {
    if (pending_ || piece.empty()) {
      feed(piece, false);
      return;
    }
    // Hold the last character back: it may compose with the next piece.
    const std::size_t k =
        char_start_before(reinterpret_cast<const unsigned char*>(piece.data()), piece.size());
    write(sink_, carry_);
    write(sink_, piece.substr(0, k));
    carry_.assign(piece.substr(k));
  }

  // After the last piece was fed with last = false (or none at all).
  void finish() {
    if (pending_) {
      flush({});
    } else {
      write(sink_, carry_);
      carry_.clear();
    }
  }

 private:
  // Trivial bytes after which a pending stretch is handed to ICU.
  static constexpr std::size_t kTail = 64;
  // Bytes read one character at a time where pass_plain_blocks stopped.
  static constexpr std::size_t kRetryAfter = 16;

  // The code points of the piece being fed, for pass_plain_blocks, and
  // where in them reading has got to.
  struct Blocks {
    std::span<const char32_t> code_points;
    // A byte of the piece and the index of the code point that starts there.
    std::pair<std::size_t, std::size_t> at{0, 0};
    std::size_t retry_at = 0;  // no block is tried before this byte

    // The index of the code point that starts at byte i (at or after the
    // last one asked for) of the UTF-8 p.
    std::size_t index_of(const unsigned char* p, std::size_t i) {
      std::size_t k = at.second;
      for (std::size_t b = at.first; b < i; ++b) k += (p[b] & 0xC0u) != 0x80u;
      at = {i, k};
      return k;
    }
  };

  const icu::Normalizer2& nfc() {
    if (nfc_ == nullptr) nfc_ = &nfc_instance();
    return *nfc_;
  }

  void start_pending() {
    units_ = 0;
    pending_ = true;
    tail_ = 0;
    run_ = 0;
    long_run_ = false;
  }

  // Hands the pending stretch (buffer_ followed by `rest`) to ICU.
  void flush(std::string_view rest) {
    std::string_view stretch = rest;
    if (!buffer_.empty()) {
      buffer_.append(rest);
      stretch = buffer_;
    }
    const icu::Normalizer2& n = nfc();
    if (long_run_) {
      normalize_reordered(n, stretch);
    } else {
      normalize_units(n, utf16_.data(), static_cast<int32_t>(units_));
    }
    units_ = 0;
    buffer_.clear();
    if (buffer_.capacity() > 4 * limit_) std::string().swap(buffer_);
    if (utf16_.size() > 4 * limit_) std::vector<char16_t>().swap(utf16_);
    if (static_cast<std::size_t>(normal_.getCapacity()) > 4 * limit_) {
      normal_ = icu::UnicodeString();
    }
    pending_ = false;
  }

  // ICU's UTF-16 interface composes faster than its UTF-8 one (which
  // rebuilds a buffer for each segment and hands the sink a few bytes at a
  // time), so stretches go to ICU in UTF-16 and come back through buffers
  // kept for the whole call. A pending stretch is converted while it is
  // read (units_); this converts a UTF-8 one with ICU's converter.
  void normalize_utf16(const icu::Normalizer2& n, std::string_view stretch) {
    to_normal(n, stretch);
    write_utf16(normal_.getBuffer(), normal_.length());
  }

  // The UTF-16 of the pending stretch is built in utf16_ as it is read (no
  // more once it is known to go the reordering way, which reads the UTF-8);
  // units_ of it are written.

  // Room for `more` units after the units_ already in utf16_.
  char16_t* room16(std::size_t more) {
    if (utf16_.size() - units_ < more) utf16_.resize(std::max(2 * utf16_.size(), units_ + more));
    return utf16_.data() + units_;
  }
  void add16(char32_t c) {
    char16_t* to = room16(2);
    if (c < 0x10000) {
      to[0] = static_cast<char16_t>(c);
      units_ += 1;
    } else {
      to[0] = static_cast<char16_t>(U16_LEAD(c));
      to[1] = static_cast<char16_t>(U16_TRAIL(c));
      units_ += 2;
    }
  }
  void add16(std::string_view text) {
    const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
      UChar32 c;
      U8_NEXT_UNSAFE(s, i, c);
      add16(static_cast<char32_t>(c));
    }
  }
  // Reads the characters of p from `from` on while their bytes are below
  // 0xCC (ASCII and U+0080..U+02FF), as far as the first character start at
  // or after `to`, adding them to units_. Returns where it stopped.
  std::size_t widen(const unsigned char* p, std::size_t from, std::size_t to) {
    if (long_run_) {
      while (from < to && p[from] < 0xCC) from += p[from] < 0x80 ? 1 : 2;
      return from;
    }
    // A character that starts before `to` ends at most a byte after it, and
    // takes no more units than bytes.
    char16_t* out = room16(to + 1 - from);
    char16_t* const start = out;
    while (from < to) {
      const unsigned b = p[from];
      if (b < 0x80) {
        *out++ = static_cast<char16_t>(b);
        ++from;
      } else if (b < 0xCC) {
        *out++ = static_cast<char16_t>(((b & 0x1Fu) << 6) | (p[from + 1] & 0x3Fu));
        from += 2;
      } else {
        break;
      }
    }
    units_ += static_cast<std::size_t>(out - start);
    return from;
  }

  // Writes ICU's NFC of the UTF-16 `units` to the sink.
  void normalize_units(const icu::Normalizer2& n, const char16_t* units, int32_t length) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::UnicodeString source(false, units, length);
    n.normalize(source, normal_, status);
    check(status);
    write_utf16(normal_.getBuffer(), normal_.length());
  }

  // normal_ = ICU's NFC of `stretch`.
  void to_normal(const icu::Normalizer2& n, std::string_view stretch) {
    UErrorCode status = U_ZERO_ERROR;
    // A UTF-8 stretch never takes more UTF-16 units than it has bytes.
    if (utf16_.size() < stretch.size()) utf16_.resize(stretch.size());
    int32_t units = 0;
    u_strFromUTF8(utf16_.data(), static_cast<int32_t>(utf16_.size()), &units, stretch.data(),
                  static_cast<int32_t>(stretch.size()), &status);
    check(status);
    const icu::UnicodeString source(false, utf16_.data(), units);
    n.normalize(source, normal_, status);
    check(status);
  }

  // Writes UTF-16 to the sink as UTF-8, a block at a time, never splitting
  // a surrogate pair.
  void write_utf16(const char16_t* out, int32_t length) {
    for (int32_t from = 0; from < length;) {
      int32_t to = std::min(length, from + kBlockUnits);
      if (to < length && U16_IS_LEAD(out[to - 1])) --to;
      const std::size_t bytes =
          utf8_from_utf16({out + from, static_cast<std::size_t>(to - from)}, utf8_.data());
      // ICU's output is well-formed UTF-16.
      if (bytes == kNotScalarValues) check(U_INVALID_CHAR_FOUND);
      sink_.write({reinterpret_cast<const std::uint8_t*>(utf8_.data()), bytes});
      from = to;
    }
  }

  // A position in the decomposed text: the character at byte `at` and the
  // index of one of the code points of its decomposition.
  struct Pos {
    std::size_t at;
    std::size_t k;
  };

  // A run of non-starters (in the decomposed text) being read: where it
  // starts, how many marks of each combining class it has, and the first
  // probe_ marks of each class in the order read.
  struct Run {
    bool active = false;
    bool has_tail = false;  // some class has more marks than the probe keeps
    Pos from{0, 0};
    std::array<std::size_t, 256> count{};
    std::vector<std::pair<std::uint8_t, char32_t>> probe;
  };

  // Normalises a stretch that holds long runs of non-starters, with ICU's
  // canonical ordering kept linear and its buffers bounded.
  //
  // ICU inserts each mark of a run into place one at a time, which is
  // quadratic in the length of a run given out of order, and it holds a
  // whole run (there is no normalisation boundary inside one) in memory at
  // once. So the stretch is rewritten, with ICU's own decomposition
  // mappings and combining classes, into a canonically equivalent text in
  // which every character is fully decomposed and every run of
  // non-starters is stably sorted by combining class; ICU composes that.
  // A long run is not given to ICU whole:
  // - In a sorted run, a mark is blocked from the starter before it exactly
  //   when a mark of its own class stands between them uncomposed. The
  //   starter absorbs fewer marks than the longest full decomposition has
  //   code points, so within each class only the first probe_ marks (the
  //   probe) can compose; the rest (the class's tail) stay as they are.
  // - ICU composes the text before the run followed by the probe. Its output
  //   ends with the probe's uncomposed marks, in order; each tail is written
  //   after those of its own class.
  // - The run leaves at least one mark uncomposed, so nothing after it
  //   composes with anything before it: ICU starts afresh there.
  // The run is read once, and once more for each class that has a tail, so
  // time stays linear (at most 55 classes exist).
  void normalize_reordered(const icu::Normalizer2& n, std::string_view text) {
    seg_.clear();
    Run run;
    std::size_t i = 0;
    while (i < text.size()) {
      const std::size_t at = i;
      decompose_at(n, text, i, decomposition_, parts_);
      for (std::size_t k = 0; k < parts_.size(); ++k) {
        const char32_t d = parts_[k];
        const std::uint8_t cls = n.getCombiningClass(static_cast<UChar32>(d));
        if (cls == 0) {
          if (run.active) end_run(n, text, run, {at, k});
          if (seg_.size() >= limit_ && n.hasBoundaryBefore(static_cast<UChar32>(d))) {
            normalize_utf16(n, seg_);
            seg_.clear();
          }
          append_utf8(seg_, d);
          continue;
        }
        if (!run.active) {
          run.active = true;
          run.from = {at, k};
        }
        if (++run.count[cls] <= probe_) {
          run.probe.emplace_back(cls, d);
        } else {
          run.has_tail = true;
        }
      }
    }
    if (run.active) end_run(n, text, run, {text.size(), 0});
    normalize_utf16(n, seg_);
    seg_.clear();
    if (seg_.capacity() > 4 * limit_) std::string().swap(seg_);
  }

  // The run of `text` from run.from up to `to` has been read: its probe
  // goes to seg_, and when it has tails, seg_ to ICU and the tails after.
  void end_run(const icu::Normalizer2& n, std::string_view text, Run& run, Pos to) {
    std::stable_sort(run.probe.begin(), run.probe.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& mark : run.probe) append_utf8(seg_, mark.second);
    if (run.has_tail) {
      to_normal(n, seg_);
      seg_.clear();
      const char16_t* out = normal_.getBuffer();
      const int32_t length = normal_.length();
      int32_t head = length;
      while (head > 0) {
        int32_t j = head;
        UChar32 c;
        U16_PREV(out, 0, j, c);
        if (n.getCombiningClass(c) == 0) break;
        head = j;
      }
      write_utf16(out, head);
      int32_t at = head;
      for (std::size_t cls = 1; cls < run.count.size(); ++cls) {
        if (run.count[cls] == 0) continue;
        const int32_t from = at;
        while (at < length) {
          int32_t j = at;
          UChar32 c;
          U16_NEXT(out, j, length, c);
          if (n.getCombiningClass(c) != cls) break;
          at = j;
        }
        write_utf16(out + from, at - from);
        if (run.count[cls] > probe_) {
          write_tail(n, text, run.from, to, static_cast<std::uint8_t>(cls));
        }
      }
      // Every uncomposed mark of the probe has a class of the run.
      if (at != length) throw std::runtime_error("ICU composed a run of marks unexpectedly");
    }
    run.active = false;
    run.has_tail = false;
    run.count.fill(0);
    run.probe.clear();
  }

  // Writes the marks of class `cls` of the run [from, to) of `text` that
  // come after the first probe_ of that class.
  void write_tail(const icu::Normalizer2& n, std::string_view text, Pos from, Pos to,
                  std::uint8_t cls) {
    std::string& block = tail_block_;
    block.clear();
    std::size_t seen = 0;
    std::size_t i = from.at;
    while (i < text.size()) {
      const std::size_t at = i;
      decompose_at(n, text, i, tail_decomposition_, tail_parts_);
      const std::size_t first = at == from.at ? from.k : 0;
      const std::size_t last = at == to.at ? to.k : tail_parts_.size();
      for (std::size_t k = first; k < last; ++k) {
        if (n.getCombiningClass(static_cast<UChar32>(tail_parts_[k])) != cls) continue;
        if (++seen <= probe_) continue;
        append_utf8(block, tail_parts_[k]);
        if (block.size() >= kTailBlock) {
          write(sink_, block);
          block.clear();
        }
      }
      if (at == to.at) break;
    }
    write(sink_, block);
  }

  static constexpr std::size_t kTailBlock = 16384;

  static void check(UErrorCode status) {
    if (status == U_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
    if (U_FAILURE(status)) throw std::runtime_error("ICU normalisation failed");
  }

  static constexpr int32_t kBlockUnits = 8192;

  hardbinding::ByteSink& sink_;
  const CodePointTable& t_;
  const icu::Normalizer2* nfc_ = nullptr;
  std::size_t limit_;
  bool pending_ = false;
  bool long_run_ = false;
  std::size_t tail_ = 0;
  std::size_t run_ = 0;
  std::string buffer_;  // pending text gathered from earlier pieces
  std::string carry_;   // last character of the previous piece, not yet written
  std::size_t probe_ = t_.max_decomposition();
  std::string seg_;                   // reordered text not yet given to ICU
  std::string tail_block_;            // tail marks on their way to the sink
  icu::UnicodeString decomposition_;  // of the character being read
  std::u32string parts_;
  icu::UnicodeString tail_decomposition_;  // the same while a tail is written
  std::u32string tail_parts_;
  std::vector<char16_t> utf16_;  // a stretch in UTF-16 (the pending one: units_ of it)
  std::size_t units_ = 0;
  icu::UnicodeString normal_;                            // ICU's NFC of a stretch
  std::array<char, std::size_t{3} * kBlockUnits> utf8_;  // a block of that in UTF-8
};

}  // namespace

void nfc_normalize_to(std::span<const std::string_view> pieces, ByteSink& sink, std::size_t piece,
                      bool with_code_points) {
  // A short text made only of trivial characters is its own NFC, however
  // it is cut (each has a boundary before it): written as it is, without
  // setting up a writer. (A long one is left to the writer's own scan,
  // which would otherwise read its trivial start twice.)
  std::size_t total = 0;
  for (const std::string_view text : pieces) total += text.size();
  if (total <= thresholds::kShortTrivial &&
      std::all_of(pieces.begin(), pieces.end(),
                  [](std::string_view text) { return all_trivial(text); })) {
    for (const std::string_view text : pieces) write(sink, text);
    return;
  }
  NfcWriter writer(sink, piece);
  std::u32string code_points;
  for (std::size_t k = 0; k < pieces.size(); ++k) {
    code_points.clear();
    if (with_code_points) {
      const auto* s = reinterpret_cast<const std::uint8_t*>(pieces[k].data());
      for (std::size_t i = 0; i < pieces[k].size();) {
        UChar32 c;
        U8_NEXT_UNSAFE(s, i, c);
        code_points.push_back(static_cast<char32_t>(c));
      }
    }
    writer.feed(pieces[k], k + 1 == pieces.size(), code_points);
  }
  if (pieces.empty()) writer.finish();
}

struct UnicodeNfc::Writer::Impl {
  NfcWriter writer;
};

UnicodeNfc::Writer::Writer(ByteSink& sink)
    : impl_(std::make_unique<Impl>(NfcWriter(sink, kDefaultNfcPiece))) {}
UnicodeNfc::Writer::Writer(Writer&&) noexcept = default;
UnicodeNfc::Writer& UnicodeNfc::Writer::operator=(Writer&&) noexcept = default;
UnicodeNfc::Writer::~Writer() = default;
void UnicodeNfc::Writer::feed(std::string_view piece) { impl_->writer.feed(piece, false); }
void UnicodeNfc::Writer::feed(std::string_view piece, std::span<const char32_t> code_points) {
  // Text of mostly one- and two-byte characters is passed over faster as
  // bytes: the byte scan skips all of U+0000..U+02FF at vector speed.
  if (piece.size() < code_points.size() + code_points.size() / 2) {
    impl_->writer.feed(piece, false, code_points);
    return;
  }
  feed_scanned(*this, piece, code_points, all_trivial(code_points));
}
void UnicodeNfc::Writer::finish() { impl_->writer.finish(); }

void feed_scanned(UnicodeNfc::Writer& writer, std::string_view piece,
                  std::span<const char32_t> code_points, bool trivial) {
  if (trivial) {
    writer.impl_->writer.feed_trivial(piece);
  } else {
    writer.impl_->writer.feed(piece, false, code_points);
  }
}

}  // namespace quorvane::hardbinding::provided
