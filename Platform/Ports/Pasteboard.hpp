#pragma once

// The desktop clipboard as the application's clipboard bridge sees it. QtPasteboard implements it
// with the toolkit's clipboard; tests use an in-memory one. Every call is made on the main
// executor.

#include <optional>
#include <string>
#include <vector>

#include "Support/Bytes.hpp"

namespace vantrel {

class Pasteboard {
 public:
  virtual ~Pasteboard() = default;

  // A number that moves whenever the content changes, whoever changed it. Cheap: the bridge
  // compares it three times a second and reads the content only after it moved.
  virtual long long changeCount() const = 0;

  // The "file:" URLs of the content, in its order; empty when it holds none.
  virtual std::vector<std::string> fileURLs() = 0;
  // The content's PNG bytes, when it offers PNG.
  virtual std::optional<Bytes> pngData() = 0;
  // An image in another format, converted to PNG; nothing when there is none or the conversion
  // fails.
  virtual std::optional<Bytes> otherImageAsPNG() = 0;
  // The content's plain text, when it has any.
  virtual std::optional<std::string> text() = 0;

  // True when the bytes decode as an image (checked before anything is written).
  virtual bool decodesAsImage(ByteView png) const = 0;

  // Empties the clipboard.
  virtual void clear() = 0;
  // Replace the content with one value. Writing PNG also offers the image in the other formats
  // the toolkit can produce, for programs that do not read PNG.
  virtual void writeText(const std::string& text) = 0;
  virtual void writePNG(const Bytes& png) = 0;

  // True while the content is still exactly what the last `writeText`/`writePNG` put there:
  // nobody has written since, whenever the toolkit gets round to reporting the change.
  virtual bool holdsLastWrite() const = 0;
};

}  // namespace vantrel
