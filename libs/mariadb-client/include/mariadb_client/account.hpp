#pragma once

#include <mariadb_client/types.hpp>

#include <mysql.h>

#include <map>
#include <memory>
#include <string>

namespace mariadb {

// Argument of one client option, handed unchanged to mysql_options.
class option_arg {
public:
    virtual ~option_arg() = default;
    // Pointer passed to mysql_options; valid while the argument lives.
    virtual const void* value() const = 0;
};

class option_arg_bool : public option_arg {
public:
    explicit option_arg_bool(bool _value) : m_value(_value) {}
    const void* value() const override { return &m_value; }

private:
    bool m_value;
};

class option_arg_int : public option_arg {
public:
    explicit option_arg_int(int _value) : m_value(_value) {}
    const void* value() const override { return &m_value; }

private:
    int m_value;
};

class option_arg_string : public option_arg {
public:
    explicit option_arg_string(std::string _value) : m_value(std::move(_value)) {}
    const void* value() const override { return m_value.c_str(); }

private:
    std::string m_value;
};

using map_options_t = std::map<std::string, std::string>;
using map_connect_options_t = std::map<mysql_option, std::unique_ptr<option_arg>>;

// The parameters of one login; changes take effect at the next connect.
class account {
public:
    virtual ~account() = default;
    account(const account&) = delete;
    account& operator=(const account&) = delete;

    // A new account with auto-commit and store-result on, no TLS and no options.
    static account_ref create(const std::string& _host_name, const std::string& _user_name,
                              const std::string& _password, const std::string& _schema, u32 _port,
                              const std::string& _unix_socket = std::string());

    const std::string& host_name() const { return m_host_name; }
    const std::string& user_name() const { return m_user_name; }
    const std::string& password() const { return m_password; }
    const std::string& schema() const { return m_schema; }
    const std::string& unix_socket() const { return m_unix_socket; }
    const u32& port() const { return m_port; }
    // Replaces the default database selected after connecting.
    void set_schema(const std::string& _schema) { m_schema = _schema; }

    const std::string& ssl_key() const { return m_ssl_key; }
    const std::string& ssl_certificate() const { return m_ssl_certificate; }
    const std::string& ssl_ca() const { return m_ssl_ca; }
    const std::string& ssl_ca_path() const { return m_ssl_ca_path; }
    const std::string& ssl_cipher() const { return m_ssl_cipher; }
    // Replaces all TLS settings; a non-empty key makes TLS mandatory.
    void set_ssl(const std::string& _key, const std::string& _certificate, const std::string& _ca,
                 const std::string& _ca_path, const std::string& _cipher);

    // Auto-commit mode wanted on every connection of this account.
    const bool& auto_commit() const { return m_auto_commit; }
    void set_auto_commit(bool _auto_commit) { m_auto_commit = _auto_commit; }
    // True: results are fetched whole; false: they are streamed.
    const bool& store_result() const { return m_store_result; }
    void set_store_result(bool _store_result) { m_store_result = _store_result; }

    // Server variables set after each connect, in key order.
    const map_options_t& options() const { return m_options; }
    // Value stored under _name, empty when none.
    std::string option(const std::string& _name) const;
    void set_option(const std::string& _name, const std::string& _value);
    void clear_options() { m_options.clear(); }

    // Client options applied before each connect, in option order.
    const map_connect_options_t& connect_options() const { return m_connect_options; }
    void set_connect_option(mysql_option _option, bool _arg);
    void set_connect_option(mysql_option _option, int _arg);
    void set_connect_option(mysql_option _option, const std::string& _arg);
    // Keeps a text literal from choosing the bool overload.
    void set_connect_option(mysql_option _option, const char* _arg) { set_connect_option(_option, std::string(_arg)); }
    void clear_connect_options() { m_connect_options.clear(); }

protected:
    account(const std::string& _host_name, const std::string& _user_name, const std::string& _password,
            const std::string& _schema, u32 _port, const std::string& _unix_socket);

private:
    bool m_auto_commit = true;
    bool m_store_result = true;
    u32 m_port;
    std::string m_host_name;
    std::string m_user_name;
    std::string m_password;
    std::string m_schema;
    std::string m_unix_socket;
    std::string m_ssl_key;
    std::string m_ssl_certificate;
    std::string m_ssl_ca;
    std::string m_ssl_ca_path;
    std::string m_ssl_cipher;
    map_options_t m_options;
    map_connect_options_t m_connect_options;
};

} // namespace mariadb
