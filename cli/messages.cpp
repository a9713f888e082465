#include "cli/messages.h"

#include <cerrno>
#include <cstring>

#include "cli/cli.h"

namespace cli::internal {
namespace {

using platform::Cause;
using platform::Status;

// The system's error numbers that users meet, in German; others by number.
std::string SystemErrorText(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
      return "Zugriff verweigert";
    case ENOENT:
      return "nicht gefunden";
    case ENOSPC:
      return "kein Platz mehr auf dem Datenträger";
#ifdef EDQUOT  // not on Windows
    case EDQUOT:
      return "Speicherkontingent erschöpft";
#endif
    case EROFS:
      return "Dateisystem nur lesbar";
    case EIO:
      return "Ein-/Ausgabefehler";
    case EISDIR:
      return "ist ein Ordner";
    case ENXIO:
      return "ist keine gewöhnliche Datei";
    case ELOOP:
      return "zu viele Verknüpfungen hintereinander";
    case ENAMETOOLONG:
      return "Name zu lang";
    case EEXIST:
      return "der Name ist schon vergeben";
    case ENOTDIR:
      return "ein Teil des Pfads ist kein Ordner";
    case EXDEV:
      return "liegt auf einem anderen Dateisystem";
    default:
      return "Systemfehler " + std::to_string(error);
  }
}

std::string_view CheckText(platform::Check check) {
  switch (check) {
    case platform::Check::kBodyLength:
      return "die Länge des Inhalts im Anhang passt nicht zur Dateigröße";
    case platform::Check::kDecoding:
      return "der entschlüsselte Inhalt lässt sich nicht entpacken (Auffüllung oder Prüfsumme "
             "stimmt nicht)";
    case platform::Check::kArchive:
      return "der entschlüsselte Inhalt ist kein Zip-Archiv";
    case platform::Check::kZipChecksum:
      return "ein Eintrag des Zip-Archivs stimmt nicht mit seiner Prüfsumme (CRC) überein";
    case platform::Check::kZipDirectory:
      return "das Inhaltsverzeichnis des Zip-Archivs bricht ab";
    case platform::Check::kNone:
      break;
  }
  return "";
}

// The words for a cause, without its path.
}  // namespace

std::string CauseText(const Status& status) {
  std::string text;
  switch (status.cause) {
    case Cause::kNone:
    case Cause::kFailed:
    case Cause::kWrongPassword:
      break;
    case Cause::kMissing:
      text = "Datei nicht gefunden";
      break;
    case Cause::kFolder:
      text = "ist ein Ordner, keine Datei";
      break;
    case Cause::kSpecial:
      text = "ist keine gewöhnliche Datei (FIFO, Gerät oder Socket)";
      break;
    case Cause::kNameTaken:
      text = "der Name ist schon vergeben";
      break;
    case Cause::kNoAccess:
      text = "kann nicht geöffnet werden";
      break;
    case Cause::kReadFailed:
      text = "Lesefehler";
      break;
    case Cause::kWriteFailed:
      text = "Schreibfehler";
      break;
    case Cause::kNoSpace:
      text = "zu wenig freier Speicherplatz";
      break;
    case Cause::kTooLarge:
      text = "Datei ist 2 GiB groß oder größer (das Format erlaubt weniger als 2 GiB)";
      break;
    case Cause::kNameRefused:
      text =
          "ein Name, den das Archiv nicht sicher aufnehmen kann (absolut, mit \"..\", zu lang "
          "oder kein gültiges UTF-8)";
      break;
    case Cause::kNotContainer:
      text = "kein lesbarer Anhang (ein am Ende abgeschnittener Container sieht genauso aus)";
      break;
    case Cause::kDamaged:
      text = "Container beschädigt: " + std::string(CheckText(status.check));
      break;
    case Cause::kNoMemory:
      text = "zu wenig Arbeitsspeicher";
      break;
    case Cause::kEngine:
      text = "die AES-Bibliothek lässt sich nicht laden";
      break;
  }
  if (status.systemError != 0 && status.cause != Cause::kMissing) {
    text += (text.empty() ? "" : ": ") + SystemErrorText(status.systemError);
  }
  return text;
}

int ExitCodeOf(const Status& status) {
  if (status.cause == Cause::kWrongPassword) return kExitWrongPassword;
  if (status.cause == Cause::kNotContainer) return kExitNotContainer;
  if (status.cause == Cause::kDamaged) return kExitDamaged;
  if (status.IsFullDisk()) return kExitNoSpace;
  return kExitFailure;
}

}  // namespace cli::internal
