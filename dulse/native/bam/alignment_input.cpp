#include "bam/alignment_input.hpp"

#include <cerrno>
#include <cstring>
#include <utility>

#include "bam/bgzf_block.hpp"
#include "bam/gzip_members.hpp"

namespace dulse::bam {

namespace {

SortOrder sort_order_of(const std::string& hd_line) {
  size_t at = hd_line.find("\tSO:");
  if (at == std::string::npos) return SortOrder::kUnknown;
  std::string value = hd_line.substr(at + 4, hd_line.find('\t', at + 4) - (at + 4));
  if (value == "coordinate") return SortOrder::kCoordinate;
  if (value == "queryname") return SortOrder::kQueryName;
  if (value == "unsorted") return SortOrder::kUnsorted;
  return SortOrder::kUnknown;
}

// Whether bytes look like SAM text: a header line, or a record line with tabs, in printable
// characters.
bool looks_like_sam(const uint8_t* data, size_t n) {
  bool tab = data[0] == '@';
  for (size_t i = 0; i < n && data[i] != '\n'; ++i) {
    if (data[i] == '\t') tab = true;
    else if (data[i] != '\r' && (data[i] < 0x20 || data[i] > 0x7e)) return false;
  }
  return tab;
}

// Whether the file's first block, when it is a whole BGZF block among the bytes at hand,
// inflates with its checksum right.
bool first_block_inflates(const uint8_t* data, size_t n) {
  if (n < kBgzfHeaderLength || !is_bgzf(data)) return true;
  size_t length = bgzf_block_length(data);
  if (length < kBgzfHeaderLength || length > n) return true;
  BlockInflater inflater;
  std::vector<uint8_t> out(BlockInflater::kMaxBlock);
  return !inflater.ready() || inflate_bgzf_block(inflater, data, length, out.data()) >= 0;
}

}  // namespace

int AlignmentInput::open(const char* path, Interruption* interruption) {
  FileSource source;
  source.watch(interruption);
  int opened = source.open(path, Access::kStreamToo);
  if (opened == -1) return kCannotOpen;
  if (opened == -2) return unusable("not a file that can be read (a folder?)");
  size_t n = source.fill(2048);
  if (source.failed()) return kCannotOpen;
  if (n == 0) return unusable("an empty file (0 bytes): nothing was written to it?");
  const uint8_t* start = source.data();
  if (n >= 4 && std::memcmp(start, "CRAM", 4) == 0) {
    return unusable("a CRAM file, which dulse does not read yet: convert it with "
                    "'samtools view -b -T REFERENCE.fa'");
  }
  if (n >= 2 && start[0] == 0x1f && start[1] == 0x8b) {
    uint8_t inflated[4];
    size_t got = peek_gzip_prefix(start, n < 2048 ? n : 2048, inflated, sizeof inflated);
    if (got < 4 || std::memcmp(inflated, "BAM\1", 4) != 0) {
      if (!first_block_inflates(start, n)) {
        return unusable("BGZF block 1 is damaged (its compressed data or checksum is bad)");
      }
      if (got >= 4) {
        return unusable("gzip-compressed, but not BAM (a gzipped SAM file? decompress it first)");
      }
    }
    int status = bam_.open_keeping_header(std::move(source));
    if (status == Reader::kNoMemory) return unusable("out of memory");
    if (status == Reader::kNotBam) return unusable("gzip-compressed, but not BAM");
    if (status != 0) {
      return unusable("its BAM header is damaged or cut short (block " +
                      std::to_string(bam_.blocks_loaded()) + ")");
    }
    is_sam_ = false;
    sort_order_ = sort_order_of(bam_.hd_line());
    return 0;
  }
  if (n >= 4 && std::memcmp(start, "BAM\1", 4) == 0) {
    return unusable("an uncompressed BAM stream without BGZF blocks, which dulse does not read: "
                    "write it with 'samtools view -b -u' instead");
  }
  if (!looks_like_sam(start, n)) return unusable("neither BAM nor SAM");
  is_sam_ = true;
  int status = sam_.open(std::move(source));
  if (status == SamReader::kReadFailed) return kCannotOpen;
  if (status != 0) {
    return unusable("line " + std::to_string(sam_.line()) + ": " + sam_.error());
  }
  sort_order_ = sort_order_of(sam_.hd_line());
  return 0;
}

int AlignmentInput::next() {
  if (is_sam_) {
    int status = sam_.next();
    if (status > 0) {
      ++records_;
      return 1;
    }
    if (status == SamReader::kEnd) return 0;
    message_ = status == SamReader::kReadFailed
                   ? std::string("reading failed: ") + std::strerror(errno)
                   : "line " + std::to_string(sam_.line()) + ": " + sam_.error();
    return -1;
  }
  int status = bam_.next();
  if (status > 0) {
    ++records_;
    return 1;
  }
  if (status == Reader::kEnd) return 0;
  message_ = describe_read_error(status, bam_.block_failed(), bam_.blocks_loaded(), records_ + 1,
                                 &bam_.decoder());
  return -1;
}

std::string AlignmentInput::describe_read_error(int code, bool block_failed, uint64_t block,
                                                uint64_t record, const RecordDecoder* decoder) {
  std::string which = "record " + std::to_string(record);
  if (block_failed) {
    return "BGZF block " + std::to_string(block) + " is damaged or cut short (while reading " +
           which + ")";
  }
  if (code == Reader::kTruncated) return "the file ends inside " + which + " (truncated?)";
  switch (decoder != nullptr ? decoder->problem() : RecordDecoder::Problem::kNone) {
    case RecordDecoder::Problem::kReference:
      return which + " names a reference that the header does not list (it lists " +
             std::to_string(decoder->n_targets()) + ")";
    case RecordDecoder::Problem::kQueryLength:
      return which + " is malformed: its CIGAR and its sequence differ in length";
    case RecordDecoder::Problem::kTags:
      return which + " is malformed: its optional fields are damaged";
    case RecordDecoder::Problem::kLengths:
      return which + " is malformed: its lengths do not fit in it";
    case RecordDecoder::Problem::kNone:
      break;
  }
  if (code == Reader::kErrorCore) return "the file ends inside " + which + " (truncated?)";
  return which + " is malformed (its lengths are impossible)";
}

}  // namespace dulse::bam
