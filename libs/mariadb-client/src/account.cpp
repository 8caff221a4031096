#include <mariadb_client/account.hpp>

namespace mariadb {

account::account(const std::string& _host_name, const std::string& _user_name, const std::string& _password,
                 const std::string& _schema, u32 _port, const std::string& _unix_socket)
    : m_port(_port), m_host_name(_host_name), m_user_name(_user_name), m_password(_password), m_schema(_schema),
      m_unix_socket(_unix_socket) {}

account_ref account::create(const std::string& _host_name, const std::string& _user_name, const std::string& _password,
                            const std::string& _schema, u32 _port, const std::string& _unix_socket) {
    return account_ref(new account(_host_name, _user_name, _password, _schema, _port, _unix_socket));
}

void account::set_ssl(const std::string& _key, const std::string& _certificate, const std::string& _ca,
                      const std::string& _ca_path, const std::string& _cipher) {
    m_ssl_key = _key;
    m_ssl_certificate = _certificate;
    m_ssl_ca = _ca;
    m_ssl_ca_path = _ca_path;
    m_ssl_cipher = _cipher;
}

std::string account::option(const std::string& _name) const {
    const auto found = m_options.find(_name);
    return found == m_options.end() ? std::string() : found->second;
}

void account::set_option(const std::string& _name, const std::string& _value) { m_options[_name] = _value; }

void account::set_connect_option(mysql_option _option, bool _arg) {
    m_connect_options[_option] = std::make_unique<option_arg_bool>(_arg);
}

void account::set_connect_option(mysql_option _option, int _arg) {
    m_connect_options[_option] = std::make_unique<option_arg_int>(_arg);
}

void account::set_connect_option(mysql_option _option, const std::string& _arg) {
    m_connect_options[_option] = std::make_unique<option_arg_string>(_arg);
}

} // namespace mariadb
