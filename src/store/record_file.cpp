// Reading and building the header + compressed record array image of the data files.
#include "store/record_file.h"

#include <algorithm>
#include <string>

#include "store/record_io.h"

namespace kestrune {

bool RecordFile::MagicMatches(std::span<const std::uint8_t> image) const {
  return CountedMagicMatches(image, layout_.magic);
}

RecordFile::Header RecordFile::NewHeader() const {
  Header header(layout_.header_size, 0);
  header[0] = static_cast<std::uint8_t>(layout_.magic.size());
  std::copy(layout_.magic.begin(), layout_.magic.end(), header.begin() + 1);
  return header;
}

void RecordFile::Load(std::span<const std::uint8_t> image, Header& header, RecordArray& records) {
  kept_body_.Forget();
  if (image.size() < layout_.header_size) {
    throw DamagedFileError(std::string(layout_.file_name) + " is shorter than its header");
  }
  const auto header_bytes = image.first(layout_.header_size);
  const auto body = image.subspan(layout_.header_size);
  const std::int32_t count = ReadInt32LE(header_bytes, layout_.count_offset);
  const std::size_t expected = static_cast<std::size_t>(std::max(count, 0)) * layout_.record_size;
  RecordArray loaded;
  if (count < 0 || expected > kMaxRecordArrayBytes || !kept_body_.Read(body, expected, loaded)) {
    loaded = DecompressRecordArray(archive_, body, count, layout_.record_size);
  }
  header.assign(header_bytes.begin(), header_bytes.end());
  records = std::move(loaded);
}

std::vector<std::uint8_t> RecordFile::ImageOf(const Header& header, std::size_t record_bytes,
                                              const std::vector<std::uint8_t>& body) const {
  std::vector<std::uint8_t> image;
  image.reserve(header.size() + body.size());
  image.assign(header.begin(), header.end());
  WriteInt32LE(image, layout_.count_offset,
               static_cast<std::int32_t>(record_bytes / layout_.record_size));
  image.insert(image.end(), body.begin(), body.end());
  return image;
}

std::vector<std::uint8_t> RecordFile::BuildImage(const Header& header, const RecordArray& records) {
  std::vector<std::uint8_t> body;
  CountCompressedRecordBytes(records.size());
  archive_.CompressStream(records, body);
  return ImageOf(header, records.size(), body);
}

std::vector<std::uint8_t> RecordFile::UpdateImage(const Header& header,
                                                  const RecordArray& records) {
  return ImageOf(header, records.size(), kept_body_.Body(records));
}

bool RecordFile::ReadOrStart(DataFile& file, const std::filesystem::path& directory, Header& header,
                             RecordArray& records) {
  if (const auto image = file.Read()) {
    if (!MagicMatches(*image)) return false;
    Load(*image, header, records);
  } else {
    CreatePrivateDirectories(directory);
    header = NewHeader();
    records.clear();
    kept_body_.Forget();
  }
  return true;
}

}  // namespace kestrune
