#pragma once
// What crosses between the control library and a program that embeds it: the control's public
// interface and the factory the library exports. Header only, so a host needs nothing of the
// library at build time; it finds the library at run time by the identity in its plugin metadata.
#include <QString>
#include <QWidget>
#include <QtPlugin>

// The control's identity as its plugin metadata carries it (see plugin/Vornik.json). A host binds
// to the program id and the class id; the interface names beginning with an underscore are kept as
// text only, C++ reserving names with a leading double underscore.
namespace vornik_identity {
inline constexpr char kTypeLibraryId[] = "{A5329539-FB49-43C7-A344-8A81230877C7}";
inline constexpr char kTypeLibraryVersion[] = "15.0";
inline constexpr char kClassId[] = "{9A86DF44-3A9B-4D56-9544-7EEC7E8C98B0}";
inline constexpr char kProgId[] = "Vornik.uVornik";
inline constexpr char kDefaultInterfaceName[] = "_uVornik";
inline constexpr char kDefaultInterfaceId[] = "{DA2169C4-8450-4DA6-9731-5C6E4FCBCD05}";
inline constexpr char kEventInterfaceName[] = "__uVornik";
inline constexpr char kEventInterfaceId[] = "{FEDBAC64-1939-489B-A400-01F45790B182}";
} // namespace vornik_identity

// The control's default interface `_uVornik`: exactly these two methods, in this order. The event
// interface declares no events, so it has no C++ counterpart.
class IUVornik {
public:
    virtual ~IUVornik() = default;
    // Runs one statement into the shared recordset; empty on success, else the error's description.
    virtual QString RsOpen(const QString& strSQL) = 0;
    // The caret of the text widget whose native window id is `hwnd5`: 1-based line as the box shows
    // it and 1-based column from that line's first character.
    virtual void GetCaretPos(WId hwnd5, qint32& LineNo, qint32& ColNo) = 0;
};

// The class factory the library exports: one new control instance per call, owned by `parent`.
class IVornikControlFactory {
public:
    virtual ~IVornikControlFactory() = default;
    virtual QWidget* createControl(QWidget* parent) = 0;
};

#define IUVornik_iid "org.vornik.IUVornik/15.0"
#define IVornikControlFactory_iid "org.vornik.IVornikControlFactory/15.0"

Q_DECLARE_INTERFACE(IUVornik, IUVornik_iid)
Q_DECLARE_INTERFACE(IVornikControlFactory, IVornikControlFactory_iid)
