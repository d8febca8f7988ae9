#pragma once
// The D-Bus contract between the plug-in and a Zorbel engine (docs/dbus.md): the names of the
// distributed notifications both sides exchange and the object they all carry. The plug-in and
// zorbel-deck include this header; it depends on nothing.

/// The object of every notification exchanged with the Zorbel engine.
inline constexpr const char* kZBEngineNotificationObject = "com.zorbel.streamdeck";

// From the plug-in to the engine.
/// A key pressed or released: context s, row i, column i, pressed b.
inline constexpr const char* kZBKeyNotification = "Zorbel Stream Deck Key";
/// A key that appeared or changed its ID or position: context s, row i, column i, zbID s.
inline constexpr const char* kZBKeyAppearedNotification = "Zorbel Stream Deck Key Appeared";
/// A dial rotated, pushed, released or a touch on its strip: context s, column i, zbID s, event s,
/// and ticks i, pressed b (rotate) or x i, y i, hold b (tap).
inline constexpr const char* kZBDialNotification = "Zorbel Stream Deck Dial";

// From the engine to the plug-in; each selects keys and dials by zbID.
inline constexpr const char* kZBShowAlertNotification = "Zorbel Stream Deck Show Alert";
inline constexpr const char* kZBShowOKNotification = "Zorbel Stream Deck Show OK";
inline constexpr const char* kZBSetTitleNotification = "Zorbel Stream Deck Set Title";
inline constexpr const char* kZBSetImageNotification = "Zorbel Stream Deck Set Image";
/// zbID s, feedback a{sv}: title s, value s, indicator i (0-100), icon s, others passed through.
inline constexpr const char* kZBSetFeedbackNotification = "Zorbel Stream Deck Set Feedback";
/// zbID s, layout s: a built-in layout ("$B1") or a file of the bundle's layouts/ folder.
inline constexpr const char* kZBSetFeedbackLayoutNotification = "Zorbel Stream Deck Set Feedback Layout";
