#pragma once
// The stand-ins a test object holds for its whole life, declared once: a test class inherits, after
// QObject, the ones it uses and reads them by their names (boxes, prompt, secrets, opened, forms).
#include "FakeDesktop.h"
#include "FakeLoginPrompt.h"
#include "FakeMessageBoxes.h"
#include "FakeSecretStore.h"
#include "Seams.h"

#include <QTemporaryDir>

struct WithBoxes {
    FakeMessageBoxes boxes;
    ScopedSeam<MessageBoxes> boxesSeam{setMessageBoxes, &boxes};
};

struct WithPrompt {
    FakeLoginPrompt prompt;
    ScopedSeam<mConnDatabase::LoginPrompt> promptSeam{mConnDatabase::setLoginPrompt, &prompt};
};

struct WithSecrets {
    FakeSecretStore secrets;
    ScopedSeam<SecretStore> secretSeam{setSecretStore, &secrets};
};

struct WithDesktop {
    FakeDesktop opened;
    ScopedSeam<Desktop> desktopSeam{setDesktop, &opened};
};

struct WithForms {
    FakeFormOpener forms;
    ScopedSeam<FormOpener> formsSeam{setFormOpener, &forms};
};

// A settings folder of the test's own, never the user's: useConfig() points XDG_CONFIG_HOME into it
// and the site file at one that is not there.
struct WithConfig {
    QTemporaryDir config;
    bool useConfig() {
        if (!config.isValid())
            return false;
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
        mConnDatabase::setSiteSettingsPath(config.path() + QStringLiteral("/no-site/vornik.ini"));
        return true;
    }
};

// The start of a test that keeps a scratch database `db` and settings of its own.
#define START_DB()                                                                                           \
    REQUIRE_DB();                                                                                            \
    QVERIFY(useConfig());                                                                                    \
    QVERIFY(db.create())
