#pragma once

#include <mariadb_client/account.hpp>
#include <mariadb_client/bind.hpp>
#include <mariadb_client/connection.hpp>
#include <mariadb_client/date_time.hpp>
#include <mariadb_client/exceptions.hpp>
#include <mariadb_client/last_error.hpp>
#include <mariadb_client/result_set.hpp>
#include <mariadb_client/statement.hpp>
#include <mariadb_client/transaction.hpp>
#include <mariadb_client/types.hpp>
