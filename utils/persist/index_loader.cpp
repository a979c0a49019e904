#include "persist/index_loader.hpp"

#include <atomic>
#include <exception>
#include <optional>
#include <thread>
#include <vector>

#include "index/builder.hpp"
#include "index/helper_thread.hpp"
#include "index/mirror_builder.hpp"
#include "persist/json_reader.hpp"
#include "persist/os_error.hpp"

namespace vantoro::persist {
namespace {

// How one text's reading ended.
struct Outcome {
  std::optional<IoFailure> read;       // a reading failure: outranks every format error
  std::optional<FormatError> format;  // the first format error
  std::exception_ptr other;           // anything else (running out of memory)
};

// Reads the rest of a text, for a reading failure that would outrank the
// format error already found.
void read_rest(TextChunks& text, Outcome& outcome) {
  try {
    std::string_view piece;
    while (text.next(piece)) {
    }
  } catch (const IoFailure& failure) {
    outcome.read = failure;
  } catch (...) {
    outcome.other = std::current_exception();
  }
}

// Runs decode(text) and records how it ended. After a format error the text
// is read to its end.
template <class Decode>
void run(TextChunks& text, Decode&& decode, Outcome& outcome) {
  try {
    decode(text);
    return;
  } catch (const IoFailure& failure) {
    outcome.read = failure;
    return;
  } catch (const FormatError& error) {
    outcome.format = error;
  } catch (...) {
    outcome.other = std::current_exception();
    return;
  }
  read_rest(text, outcome);
}

// Rethrows what the pair's outcomes hold, in the order of reading both
// texts whole and then decoding both. Returns when neither failed.
void rethrow_first(const Outcome& documents, const std::optional<IoFailure>& tokens_opening, const Outcome& tokens) {
  if (documents.other) std::rethrow_exception(documents.other);
  if (tokens.other) std::rethrow_exception(tokens.other);
  if (documents.read) throw *documents.read;
  if (tokens_opening) throw *tokens_opening;
  if (tokens.read) throw *tokens.read;
  if (documents.format) throw *documents.format;
  if (tokens.format) throw *tokens.format;
}

// The token text, opened now; a failure is kept, to be reported only if
// reading the documents text does not fail first.
std::unique_ptr<TextChunks> open_tokens(const OpenText& open, std::optional<IoFailure>& failure) {
  try {
    return open(1, 0);
  } catch (const IoFailure& e) {
    failure = e;
    return nullptr;
  }
}

// Any pair of texts, exactly, through an IndexBuilder: one after the other.
Index decode_exactly(const OpenText& open) {
  std::unique_ptr<TextChunks> documents = open(0, 0);
  std::optional<IoFailure> tokens_opening;
  std::unique_ptr<TextChunks> tokens = open_tokens(open, tokens_opening);
  IndexBuilder builder;
  Outcome documents_outcome, tokens_outcome;
  run(*documents, [&](TextChunks& text) { decode_documents(text, builder); }, documents_outcome);
  if (tokens) {
    if (documents_outcome.read || documents_outcome.format || documents_outcome.other) {
      if (!documents_outcome.read) read_rest(*tokens, tokens_outcome);
    } else {
      run(*tokens, [&](TextChunks& text) { decode_tokens(text, builder); }, tokens_outcome);
    }
  }
  rethrow_first(documents_outcome, tokens_opening, tokens_outcome);
  return builder.take();
}

// Parts a text is read in, where it is long enough: more than two, so
// that two threads taking them in turn finish at about the same time
// although the work per byte differs along the text.
constexpr size_t kParts = 8;

// Threads that read a text's parts: this one and a helper.
constexpr size_t kReadingThreads = 2;

// The offset of a record boundary at or after `from`: a ',' after "}}" or
// "}]" and before '"', as a save writes them between two records; 0 where
// none is found soon. A name can hold such bytes too: reading the part
// before it checks that a record ends there.
uint64_t find_split(const OpenText& open, int text, uint64_t from) {
  constexpr uint64_t kWindow = uint64_t{16} << 20;
  // `from` may fall inside a character, which the UTF-8 check of a text
  // opened there refuses: one of the next four bytes starts one.
  for (uint64_t start = from; start < from + 4; ++start) {
    try {
      std::unique_ptr<TextChunks> chunks = open(text, start);
      uint32_t last3 = 0;  // the three bytes before the current one
      uint64_t offset = start;
      std::string_view piece;
      while (offset < start + kWindow && chunks->next(piece)) {
        for (const char c : piece) {
          if (c == '"' && (last3 == ('}' << 16 | '}' << 8 | ',') || last3 == ('}' << 16 | ']' << 8 | ','))) {
            return offset - 1;
          }
          last3 = (last3 << 8 | static_cast<unsigned char>(c)) & 0xffffff;
          ++offset;
        }
      }
      return 0;
    } catch (const IoFailure&) {
    }
  }
  return 0;
}

// The parts of a text of `size` bytes: ascending splits, 0 and the end
// included (only those two where it is read whole).
std::vector<uint64_t> split_text(const OpenText& open, int text, uint64_t size, size_t threads, uint64_t split_min) {
  std::vector<uint64_t> bounds{0};
  if (threads >= 2 && size != 0 && size >= split_min) {
    for (size_t k = 1; k < kParts; ++k) {
      const uint64_t split = find_split(open, text, size / kParts * k);
      if (split > bounds.back()) bounds.push_back(split);
    }
  }
  bounds.push_back(0);  // the end
  return bounds;
}

// Reads one text in the parts that `bounds` gives, through decode(chunks,
// part number, part, thread number), on this thread (0) and a helper (1)
// that take the parts in turn (on this thread alone where no helper can be
// started). Rethrows what a part threw; the other parts are then left
// unread.
template <class Decode>
void read_parts(const OpenText& open, int text, std::unique_ptr<TextChunks> head, const std::vector<uint64_t>& bounds,
                Decode&& decode) {
  const size_t parts = bounds.size() - 1;
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr failures[kReadingThreads];
  const auto work = [&](int worker) {
    try {
      for (size_t k; !failed.load() && (k = next.fetch_add(1)) < parts;) {
        const TextPart part{bounds[k], bounds[k + 1]};
        std::unique_ptr<TextChunks> chunks = k == 0 ? std::move(head) : open(text, part.begin);
        decode(*chunks, k, part, worker);
      }
    } catch (...) {
      failures[worker] = std::current_exception();
      failed.store(true);
    }
  };
  std::thread helper;
  const bool parallel = parts >= 2 && start_helper(helper, [&] { work(1); });
  work(0);
  if (parallel) helper.join();
  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
}


}  // namespace

std::optional<Index> decode_mirrored(const OpenText& open, size_t threads, uint64_t split_min) {
  std::unique_ptr<TextChunks> documents = open(0, 0);
  std::unique_ptr<TextChunks> tokens = open(1, 0);
  const DigestKey key;
  MirrorLoad load(key, threads);
  const std::vector<uint64_t> document_bounds = split_text(open, 0, documents->total_size(), threads, split_min);
  load.start_documents(document_bounds.size() - 1, kReadingThreads);
  read_parts(open, 0, std::move(documents), document_bounds,
             [&](TextChunks& text, size_t part, TextPart which, int thread) {
               decode_documents(text, load.documents_part(part, thread), which);
             });
  load.join_documents();
  const std::vector<uint64_t> token_bounds = split_text(open, 1, tokens->total_size(), threads, split_min);
  load.start_tokens(token_bounds.size() - 1);
  read_parts(open, 1, std::move(tokens), token_bounds, [&](TextChunks& text, size_t part, TextPart which, int) {
    decode_tokens(text, load.tokens_part(part), which);
  });
  Index index;
  if (!load.finish(index)) return std::nullopt;
  return index;
}

Index decode_index(const OpenText& open, size_t threads, uint64_t split_min) {
  std::optional<Index> mirrored;
  // Any failure of the mirror reading (a file that cannot be read, a
  // format error, files that do not mirror each other) sends the load the
  // exact way, which reports what reading both files whole and in order
  // meets first; running out of memory is reported as it is.
  try {
    mirrored = decode_mirrored(open, threads, split_min);
  } catch (const IoFailure&) {
  } catch (const FormatError&) {
  } catch (const MirrorBroken&) {
  }
  // The files and everything read from them are released before an exact
  // reading opens them again.
  if (mirrored) return std::move(*mirrored);
  return decode_exactly(open);
}

}  // namespace vantoro::persist
