// The file image shared by Users.Dat, Emails.Dat and Contacts.Dat: a fixed-size header
// that starts with a counted magic and holds the record count, then the record array
// compressed twice (TZLBArchive). Each database object keeps its own records, changes
// and merge rules; this is only the reading and building of the bytes on disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>
#include <vector>

#include "store/chunked_body.h"
#include "store/data_file.h"
#include "store/zlb_archive.h"

namespace kestrune {

class RecordFile {
 public:
  // Where the parts of one kind of file lie. file_name names it in DamagedFileError.
  struct Layout {
    std::string_view file_name;
    std::string_view magic;
    std::size_t header_size = 0;
    std::size_t count_offset = 0;  // int32 little-endian record count in the header
    std::size_t record_size = 0;
  };

  using Header = std::vector<std::uint8_t>;       // header_size bytes, kept as read
  using RecordArray = std::vector<std::uint8_t>;  // the records back to back

  explicit RecordFile(const Layout& layout)
      : layout_(layout), kept_body_(kRecordsPerChunk * layout.record_size) {}

  const Layout& GetLayout() const { return layout_; }

  // Whether image starts with the file's counted magic (letters in any ASCII case).
  bool MagicMatches(std::span<const std::uint8_t> image) const;

  // The header of a new file: the counted magic, every other byte 0.
  Header NewHeader() const;

  // Splits image into its header and its record array. Throws DamagedFileError ("<file>
  // is shorter than its header", or a count that disagrees with the body) or ZlibError;
  // header and records are then unchanged. The compressed form of the records is kept
  // for UpdateImage when the body was written chunked.
  void Load(std::span<const std::uint8_t> image, Header& header, RecordArray& records);

  // The file image of records under header, with the header's count set to theirs.
  // Throws ZlibError.
  std::vector<std::uint8_t> BuildImage(const Header& header, const RecordArray& records);

  // As BuildImage, for the records last given to Load, ReadOrStart or UpdateImage with
  // every change since marked by RecordsChanged: only the changed part is compressed
  // again (all of it after ForgetRecords, or when nothing was kept).
  std::vector<std::uint8_t> UpdateImage(const Header& header, const RecordArray& records);
  void RecordsChanged(std::size_t offset, std::size_t length) {
    kept_body_.Changed(offset, length);
  }
  // The records were changed in ways not marked: the next UpdateImage compresses all.
  void ForgetRecords() { kept_body_.Forget(); }

  // What opening a file kept in a mail store reads: false when the file exists but does
  // not start with the magic. Otherwise header and records hold its contents, or, when
  // there is no file yet, a new header and no records (the mail store directory is
  // created now; a failure to create it shows when the file is first saved). Errors
  // as DataFile::Read and Load.
  bool ReadOrStart(DataFile& file, const std::filesystem::path& directory, Header& header,
                   RecordArray& records);

 private:
  // Records per compressed chunk: a change costs about this many records' compression.
  static constexpr std::size_t kRecordsPerChunk = 64;

  std::vector<std::uint8_t> ImageOf(const Header& header, std::size_t record_bytes,
                                    const std::vector<std::uint8_t>& body) const;

  Layout layout_;
  TZLBArchive archive_;
  ChunkedBody kept_body_;
};

}  // namespace kestrune
