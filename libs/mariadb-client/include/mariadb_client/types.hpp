#pragma once

#include <memory>

namespace mariadb {

using u8 = unsigned char;
using s8 = signed char;
using u16 = unsigned short;
using s16 = short;
using u32 = unsigned int;
using s32 = int;
using u64 = unsigned long long;
using s64 = long long;
using f32 = float;
using f64 = double;

class account;
class connection;
class result_set;
class statement;
class transaction;
class save_point;
class bind;
struct statement_data;

using account_ref = std::shared_ptr<account>;
using connection_ref = std::shared_ptr<connection>;
using result_set_ref = std::shared_ptr<result_set>;
using statement_ref = std::shared_ptr<statement>;
using transaction_ref = std::shared_ptr<transaction>;
using save_point_ref = std::shared_ptr<save_point>;
using statement_data_ref = std::shared_ptr<statement_data>;

} // namespace mariadb
