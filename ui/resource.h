// The dialog front end's resources in one place: template, control and command identifiers,
// the dialog templates' rectangles in dialog units, and every text the windows show. Nothing
// here has state; the values are those the product has always used.
#pragma once

#include "texts.h"  // VORMIC_VERSION, kSuccessText

// --- Identifiers ---------------------------------------------------------------------------
inline constexpr int IDD_ABOUT_BOX = 100;    // the About box template
inline constexpr int IDS_ABOUT_BOX = 101;    // the menu entry that opens it
inline constexpr int IDD_MAIN_DIALOG = 102;  // the main dialog template
inline constexpr int IDR_MAINFRAME = 128;    // the application icon
inline constexpr int IDM_ABOUT = 0x0010;     // command of the About menu entry

inline constexpr int IDC_VERIFY = 1000;
inline constexpr int IDC_STOP = 1001;
inline constexpr int IDC_STATUS = 1002;
inline constexpr int IDC_LOG = 1003;
inline constexpr int IDC_EXTERNAL = 1004;
inline constexpr int IDC_ETAG = 1005;
inline constexpr int IDC_HELP_BUTTON = 1006;
inline constexpr int IDC_EXPECTED_ETAG = 1007;
inline constexpr int IDC_PROGRESS = 1008;
inline constexpr int IDC_EXPECTED_LABEL = 1009;
inline constexpr int IDC_KEEP_GOING = 1010;

// --- Templates (x, y, width, height in dialog units) ----------------------------------------
struct DialogRect {
  int x, y, width, height;
};

inline constexpr const char* kDialogFontFamily = "MS Shell Dlg";  // fontconfig picks the look-alike
inline constexpr int kDialogFontPoints = 8;

inline constexpr DialogRect kMainDialogSize = {0, 0, 502, 188};
inline constexpr DialogRect kStatusRect = {7, 40, 488, 21};
inline constexpr DialogRect kVerifyRect = {7, 7, 35, 14};
inline constexpr DialogRect kStopRect = {55, 7, 35, 14};
inline constexpr DialogRect kLogRect = {7, 72, 488, 109};
inline constexpr DialogRect kExternalRect = {118, 9, 41, 10};
inline constexpr DialogRect kEtagRect = {171, 9, 32, 10};
// A second row under the options above: how a run meets a damaged entry.
inline constexpr DialogRect kKeepGoingRect = {118, 23, 100, 10};
inline constexpr DialogRect kHelpRect = {445, 7, 50, 14};
inline constexpr DialogRect kExpectedLabelRect = {207, 9, 38, 10};
inline constexpr DialogRect kExpectedEtagRect = {247, 7, 160, 14};
inline constexpr DialogRect kProgressRect = {7, 63, 488, 5};  // the run's progress, thin
// Below the template size the wide controls give up room; nothing may shrink past this margin
// between neighbours, nor the message pane below this height.
inline constexpr int kControlGap = 7;
inline constexpr int kMinLogHeight = 24;  // about three lines of the pane
inline constexpr int kExpectedEtagMinWidth = 100;  // the expected ETag box, Help at its heels

// The About box is as tall as its texts need: the versions wrap, and OK sits under them.
inline constexpr DialogRect kAboutDialogSize = {0, 0, 240, 75};
inline constexpr DialogRect kAboutIconRect = {14, 14, 20, 20};
inline constexpr DialogRect kAboutVersionRect = {42, 8, 114, 8};
inline constexpr DialogRect kAboutDescriptionRect = {42, 20, 191, 8};
inline constexpr DialogRect kAboutVersionsRect = {42, 34, 191, 8};  // at least one line high
inline constexpr DialogRect kAboutOkRect = {183, 54, 50, 14};       // at least this low
inline constexpr int kAboutOkGap = 8;  // dialog units between the versions and OK

// --- Texts ---------------------------------------------------------------------------------
inline constexpr const char* kMainCaption = "Vormic";
inline constexpr const char* kVerifyText = "Verify...";
inline constexpr const char* kStopText = "Stop";
inline constexpr const char* kExternalText = "External";
inline constexpr const char* kEtagText = "ETag";
// Ticked, a fault inside an entry does not end the run: every damaged entry is listed.
inline constexpr const char* kKeepGoingText = "List every damaged entry";
inline constexpr const char* kHelpText = "Help";
inline constexpr const char* kExpectedEtagPlaceholder = "expected ETag (optional)";
inline constexpr const char* kExpectedEtagLabel = "E&xpected:";  // Alt+X goes to the box
// An ETag and up to 8 ALG:VALUE checksums (SHA512's 95 characters the longest), with blanks.
inline constexpr int kExpectedEtagMaxLength = 1000;
inline constexpr const char* kExpectedEtagTip =
    "An uploaded copy's ETag, and checksums as ALG:VALUE (SHA256:..., CRC64NVME:...), separated "
    "by spaces";
inline constexpr size_t kExpectedErrorSize = 1200;  // a usage error naming a word of the box
inline constexpr const char* kIntroText =
    "If External is checked, ZIP contents are compared to files in a folder.\r\n\r\n"
    "If ETag is checked, an ETag is calculated for 10MB parts.\r\n\r\n"
    "Click Help button for more information.";
inline constexpr const char* kChooseZipTitle = "Choose ZIP File";
inline constexpr const char* kZipFilter = "ZIP Files (*.zip)";
inline constexpr const char* kChooseFolderTitle = "Choose Folder";
// Saving the log (the pane's context menu, Ctrl+S). The ellipsis is U+2026, in UTF-8.
inline constexpr const char* kSaveLogText = "&Save log\xe2\x80\xa6";
inline constexpr const char* kSaveLogTitle = "Save Log";
inline constexpr const char* kLogFilter = "Log Files (*.log *.txt);;All Files (*)";
inline constexpr const char* kLogSuffix = ".log";             // beside the archive, as its .md5
inline constexpr const char* kDefaultLogName = "vormic.log";  // before any archive is chosen
inline constexpr const char* kSaveLogFailedFmt = "Can't save the log to %1: %2";
// Once an archive is chosen the window and the folder chooser name it (%1: its file name), so
// the user sees what is being checked, and after a cancelled folder chooser what was dropped.
// The dash is U+2014 (EM DASH), in UTF-8.
inline constexpr const char* kArchiveCaptionFmt = "%1 \xe2\x80\x94 Vormic";
inline constexpr const char* kChooseFolderForFmt = "Choose the folder %1 was made from";

inline constexpr const char* kAboutCaption = "About Vormic";
inline constexpr const char* kAboutVersionText = "Vormic, Version " VORMIC_VERSION;
inline constexpr const char* kAboutOkText = "OK";
inline constexpr const char* kAboutDescriptionText = "Tells whether a ZIP archive is intact.";
// The decoders in use, as vormic-cli --version lists them.
inline constexpr const char* kAboutCodecFmt = "inflate and CRC-32: %1";
inline constexpr const char* kAboutDecodersFmt = "other methods: %1";
inline constexpr const char* kAboutMenuText = "&About Vormic...";  // string IDS_ABOUT_BOX

// The help page ships with the program (share/vormic/help.html); the build tells the dialog
// where that is relative to the program and where the source tree's copy is.
inline constexpr const char* kHelpPageName = "help.html";
