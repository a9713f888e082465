// Every text the flows show, byte for byte, public so that a front end shows
// the same words where it speaks for itself (the window's empty-field
// checks, the command line's verify). "\r\n" is a line break.
#ifndef TRESOLIN_APP_FLOWS_TEXTS_H_
#define TRESOLIN_APP_FLOWS_TEXTS_H_

#include <string_view>

namespace flows::text {

// Message box titles.
inline constexpr std::string_view kError = "Fehler";
inline constexpr std::string_view kNotice = "Meldung";
inline constexpr std::string_view kEncryption = "Verschlüsselung";

inline constexpr std::string_view kNoFileChosen = "Es wurde keine Datei ausgewählt";
inline constexpr std::string_view kNoFolderChosen = "Es wurde kein Ordner ausgewählt";
// The decryption panel's wording has two blanks.
inline constexpr std::string_view kNoFolderChosenDecrypt = "Es wurde kein  Ordner ausgewählt";

inline constexpr std::string_view kEncryptionFailed = "Fehler bei der Verschlüsselung";
inline constexpr std::string_view kEncryptionDone = "Verschlüsselung erfolgreich beendet";
inline constexpr std::string_view kDecryptionFailed = "Fehler bei der Entschlüsselung";
inline constexpr std::string_view kDecryptionDone = "Entschlüsselung erfolgreich beendet";
inline constexpr std::string_view kUnpackDone = "Entschlüsselung abgeschlossen";
inline constexpr std::string_view kUnpackFailed = "Entschlüsselung Fehlerhaft.";
inline constexpr std::string_view kWrongPassword = "Falsches Passwort";
inline constexpr std::string_view kNotOurs =
    "Das ist keine mit diesem Program verschlüsselte Datei.";
inline constexpr std::string_view kNoSpace =
    "Zu wenig Festplattenspeicher zum Entschlüsseln vorhanden.";
// After a success: "replace the original" could not delete the source.
inline constexpr std::string_view kOriginalKept = "Die Originaldatei konnte nicht gelöscht werden.";

// Causes the command line adds to a failure (the window shows the message
// above them alone).
inline constexpr std::string_view kCauseNoWorkFolder =
    "im Zielordner kann kein privater Arbeitsordner angelegt werden";
inline constexpr std::string_view kCauseNoOutputFolder =
    "der Zielordner kann nicht angelegt werden";
inline constexpr std::string_view kCauseNameTaken = "der Name ist schon vergeben";
inline constexpr std::string_view kCauseNotRegularFile =
    "das Ziel ist keine gewöhnliche Datei (Verknüpfung, Ordner oder Gerät)";
inline constexpr std::string_view kCauseNotVerified =
    "der Container stimmt beim Zurücklesen nicht mit dem Original überein";

// Dialog titles and filters.
inline constexpr std::string_view kChooseFileToEncrypt = "Datei zum Verschlüsseln wählen";
inline constexpr std::string_view kChooseFolder = "Ordner Wählen";
inline constexpr std::string_view kChooseContainer = "Datei zum Entschlüsseln wählen";
inline constexpr std::string_view kChooseOutputName = "Dateinamen wählen oder ändern.";
inline constexpr std::string_view kChooseTargetFolder = "Speicherort wählen";
inline constexpr std::string_view kChooseOutputFolder = "Ausgabeverzeichnis Wählen:";
inline constexpr std::string_view kFilterAll = "Alle Dateien|*.*";
inline constexpr std::string_view kFilterAllSave = "Alle Dateien (*.*)|*.*";
inline constexpr std::string_view kFilterFolders =
    "Verschlüsselte Ordner|*.aes;*.aespk;*.rc4;*.rc4pk";

// Progress captions.
inline constexpr std::string_view kPackingFile = "Datei wird gepackt";
inline constexpr std::string_view kEncryptingFile = "Datei wird Verschlüsselt";
inline constexpr std::string_view kDecryptingFile = "Datei wird Entschlüsselt";
inline constexpr std::string_view kUnpackingFile = "Datei wird Entpackt";
inline constexpr std::string_view kPackingFolder = "Ordner wird gepackt";
inline constexpr std::string_view kEncryptingFolder = "Ordner wird Verschlüsselt";
inline constexpr std::string_view kDecryptingFolder = "Ordner wird Entschlüsselt";

// Kind texts of the decryption panels, by marker index.
inline constexpr std::string_view kFileKindTexts[4] = {
    "RC4-Verschlüsselung\r\nNicht Gepackt", "RC4-Verschlüsselung\r\nGepackt",
    "AES-Verschlüsselung\r\nGepackt", "AES-Verschlüsselung\r\nNicht Gepackt"};
inline constexpr std::string_view kFolderKindTexts[4] = {
    "RC4-Verschlüsselung\r\nDer Ordner ist nicht gepackt",
    "RC4-Verschlüsselung\r\nDer Ordner ist gepackt",
    "AES-Verschlüsselung\r\nDer Ordner ist nicht gepackt",
    "AES-Verschlüsselung\r\nDer Ordner ist gepackt"};

}  // namespace flows::text

#endif  // TRESOLIN_APP_FLOWS_TEXTS_H_
