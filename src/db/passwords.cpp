#include "db/passwords.hpp"

#include "db/records.hpp"
#include "db/sql.hpp"
#include "util/crypt.hpp"

int i_ZBC_ENCRYPT(const std::string& cpKey, const std::string& cpPassword, std::string& cpEncrypt,
                  str_log strLog) {
    SM_TRACE(strLog, 0, "+++ ZBC_ENCRYPT key: %s", cpKey.c_str());
    std::string phrase = crypt_builtin_phrase();
    std::string plain;
    zbc_decrypt_password(plain, cpKey, phrase);
    crypt_wipe(phrase);
    cpEncrypt.clear();
    const int rc = zbc_encrypt_password(cpEncrypt, plain, cpPassword);
    crypt_wipe(plain);
    if (rc != 0) {
        SM_TRACE(strLog, 0, "--- ZBC_ENCRYPT: stored password too long");
        return 0;
    }
    SM_TRACE(strLog, 1, "password is: %s", cpEncrypt.c_str());
    SM_TRACE(strLog, 0, "--- ZBC_ENCRYPT: Encrypting successfully done");
    return 1;
}

int i_GET_NETWARE_PASSWORD(const std::string& cpClient, std::string& cpBackupUser,
                           const std::string& cpSaveset, std::string& cpEncryptedSource, str_log strLog) {
    SM_TRACE(strLog, 0, "+++ build netware password");
    DB_REC_LIS rl;
    rl.szId = "GET_NETWARE_PASS";
    std::string msg;
    if (!iDB_ACCESS("select password,user_name from clients where name=" + sql_value(cpClient), msg, &rl,
                    strLog)) {
        SM_TRACE(strLog, 0, "Could not read password from databas");
        SM_TRACE(strLog, 0, "--- build netware password");
        return 0;
    }
    std::string stored;
    if (rl.iRows > 0) {
        std::string ret;
        iDB_SEL_GET(&rl, 1, ret, &strLog, "password", &stored, "user_name", &cpBackupUser, "d");
    }

    if (stored.empty() || stored == "NULL") {
        std::string standard = crypt_standard_password();
        SM_TRACE(strLog, 0, "WARNING: Didn't get a passwd from clients.password. Use standard: %s",
                 standard.c_str());
        crypt_wipe(standard);
    } else {
        SM_TRACE(strLog, 0, "encrypt given passwd");
        std::string text;
        if (i_ZBC_ENCRYPT(stored, cpSaveset, text, strLog)) {
            cpEncryptedSource = "{" + text + "}";
        } else {
            SM_TRACE(strLog, 0, "ERROR: encryption of Netware password failed");
            cpEncryptedSource.clear();
        }
    }
    crypt_wipe(stored);
    SM_TRACE(strLog, 0, "--- build netware password");
    return 0;
}
