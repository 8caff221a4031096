# Shared pieces of the benchmark and the crash soak: database access, the data generator, the
# per-kind projections, checksums and the server-side stored procedures. Sourced, not run.
#
# Callers set: LV_HOST LV_PORT LV_USER LV_PASSWORD LV_RT (runtime schema) LV_CS (column store).

LV_ROOT=${LV_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
LV_SCHEMA_DIR=${LOMVERA_BENCH_SCHEMA_DIR:-$LV_ROOT/tests/fixtures}

# The moved kinds in the daemon's drain order, then the two mirrored ones.
LV_MOVED_KINDS="external_events zone_events activities vehicle_driver_associations heartbeats node_parameters positions"
LV_OPEN_KINDS="zone_events_open vehicle_driver_associations_open"

lv_die() { echo "error: $*" >&2; exit 1; }
lv_now() { date +%s.%N; }

# Runs SQL from stdin (or $2) in database $1; tab-separated output, no header.
lv_sql() {
  local db=$1
  shift
  if [ $# -gt 0 ]; then
    mariadb --no-defaults -h"$LV_HOST" -P"$LV_PORT" -u"$LV_USER" -p"$LV_PASSWORD" \
      --batch --skip-column-names --default-character-set=utf8mb4 "$db" -e "$1"
  else
    mariadb --no-defaults -h"$LV_HOST" -P"$LV_PORT" -u"$LV_USER" -p"$LV_PASSWORD" \
      --batch --skip-column-names --default-character-set=utf8mb4 "$db"
  fi
}

# Starts a private durable server in $1 on port $2 (sets LV_HOST/LV_PORT).
lv_start_server() {
  local dir=$1 port=$2
  "$LV_ROOT/scripts/test-mariadb" start "$dir" "$port" \
    --innodb-flush-log-at-trx-commit=1 --sync-binlog=1 --innodb-doublewrite=1 \
    --local-infile=1 >/dev/null || lv_die "the MariaDB server did not start (see $dir/error.log)"
  LV_HOST=127.0.0.1
  LV_PORT=$port
}

lv_stop_server() { "$LV_ROOT/scripts/test-mariadb" stop "$1" >/dev/null 2>&1 || true; }

# Fresh runtime and column-store databases with the project's schemas.
lv_create_databases() {
  local rt_schema=$LV_SCHEMA_DIR/runtime_schema.sql cs_schema=$LV_SCHEMA_DIR/column_store_schema.sql
  [ -f "$rt_schema" ] || lv_die "missing $rt_schema"
  [ -f "$cs_schema" ] || lv_die "missing $cs_schema"
  lv_sql "" "DROP DATABASE IF EXISTS \`$LV_RT\`; CREATE DATABASE \`$LV_RT\` DEFAULT CHARACTER SET utf8mb4;
             DROP DATABASE IF EXISTS \`$LV_CS\`; CREATE DATABASE \`$LV_CS\` DEFAULT CHARACTER SET utf8mb4;"
  lv_sql "$LV_RT" <"$rt_schema" || lv_die "loading $rt_schema failed"
  lv_sql "$LV_CS" <"$cs_schema" || lv_die "loading $cs_schema failed"
}

# Row counts of every kind for N positions.
lv_counts() {
  local n=$1
  max1() { if [ "$1" -lt 1 ]; then echo 1; else echo "$1"; fi; }
  LV_N_POSITIONS=$n
  LV_N_HEARTBEATS=$(max1 $((n / 4)))
  LV_N_EXTERNAL_EVENTS=$(max1 $((n / 10)))
  LV_N_NODE_PARAMETERS=$(max1 $((n / 10)))
  LV_N_ZONE_EVENTS=$(max1 $((n / 20)))
  # Open rows are the current state, not history: they stop growing at 1000 and 400.
  LV_N_ZONE_EVENTS_OPEN=$(max1 $((n / 200 < 1000 ? n / 200 : 1000)))
  LV_N_ACTIVITIES=$(max1 $((n / 20)))
  LV_N_VDAS=$(max1 $((n / 50)))
  LV_N_VDAS_OPEN=$(max1 $((n / 500 < 400 ? n / 500 : 400)))
}

lv_kind_count() {
  case $1 in
    positions) echo "$LV_N_POSITIONS" ;;
    heartbeats) echo "$LV_N_HEARTBEATS" ;;
    external_events) echo "$LV_N_EXTERNAL_EVENTS" ;;
    node_parameters) echo "$LV_N_NODE_PARAMETERS" ;;
    zone_events) echo "$LV_N_ZONE_EVENTS" ;;
    zone_events_open) echo "$LV_N_ZONE_EVENTS_OPEN" ;;
    activities) echo "$LV_N_ACTIVITIES" ;;
    vehicle_driver_associations) echo "$LV_N_VDAS" ;;
    vehicle_driver_associations_open) echo "$LV_N_VDAS_OPEN" ;;
  esac
}

# The table behind a runtime name that may be a view (its first FROM table), else the name.
lv_base_table() {
  local type definition
  type=$(lv_sql "" "SELECT TABLE_TYPE FROM information_schema.TABLES
                    WHERE TABLE_SCHEMA = '$LV_RT' AND TABLE_NAME = '$1'")
  if [ "$type" != VIEW ]; then
    echo "$1"
    return
  fi
  definition=$(lv_sql "" "SELECT VIEW_DEFINITION FROM information_schema.VIEWS
                          WHERE TABLE_SCHEMA = '$LV_RT' AND TABLE_NAME = '$1'")
  echo "$definition" | sed -E 's/.* from `[^`]*`\.`([^`]*)`.*/\1/I'
}

# Deterministic data: every value is a function of the row number. Names and texts carry
# quotes, backslashes, tabs, newlines and non-ASCII letters; optional columns are NULL on a
# pattern; uids are 22 characters; times have milliseconds and are unique per kind, so that
# every row is identified by the columns the daemon probes.
lv_generate() {
  lv_counts "$1"
  LV_COMPANIES_TABLE=$(lv_base_table view_companies)
  LV_PROJECTS_TABLE=$(lv_base_table view_projects)
  lv_sql "$LV_RT" <<SQL || lv_die "generating data failed"
SET @base = TIMESTAMP'2026-01-01 00:00:00.000';
INSERT INTO tags (uid, name)
  SELECT CONCAT('prj', LPAD(seq, 19, '0')), CONCAT('Project ', seq, IF(seq % 3 = 0, ' O''Neil', ''))
  FROM (SELECT CAST(seq AS SIGNED) AS seq FROM seq_1_to_50) q;
INSERT INTO sublocations (uid, name)
  SELECT CONCAT('sub', LPAD(seq, 19, '0')), CONCAT('Hall ', seq, IF(seq % 4 = 0, ' \\\\ west', ''))
  FROM (SELECT CAST(seq AS SIGNED) AS seq FROM seq_1_to_100) q;
INSERT INTO zones (uid, name)
  SELECT CONCAT('zon', LPAD(seq, 19, '0')), CONCAT('Zone ', seq, IF(seq % 5 = 0, ' "dock"', ''))
  FROM (SELECT CAST(seq AS SIGNED) AS seq FROM seq_1_to_200) q;
INSERT INTO trackable_objects (uid, name)
  SELECT CONCAT('obj', LPAD(seq, 19, '0')),
         IF(seq % 17 = 0, NULL, CONCAT('Object ', seq, IF(seq % 5 = 0, ' O''Brien \\\\ x', ''),
                                                       IF(seq % 7 = 0, ' Müller €', '')))
  FROM (SELECT CAST(seq AS SIGNED) AS seq FROM seq_1_to_1000) q;
INSERT INTO \`$LV_COMPANIES_TABLE\` (uid, name)
  SELECT CONCAT('cmp', LPAD(seq, 19, '0')), CONCAT('Company ', seq, IF(seq % 2 = 0, ' & Söhne', ''))
  FROM (SELECT CAST(seq AS SIGNED) AS seq FROM seq_1_to_20) q;
INSERT INTO \`$LV_PROJECTS_TABLE\` (uid, name, user_params)
  SELECT CONCAT('prj', LPAD(seq, 19, '0')), CONCAT('Project ', seq),
         IF(seq % 4 = 0, NULL, CONCAT('{"limit": ', seq, ', "note": "it''s"}'))
  FROM (SELECT CAST(seq AS SIGNED) AS seq FROM seq_1_to_50) q;

INSERT INTO position_histories (trackable_id, obj_uid, mac_address, ts, x, y, z, sublocation_uid, fom, sfsn,
                                slvr_mode, edge_corr, pe_dims, type, project_uid, inactive, to_type_id)
  SELECT seq % 1000 + 1, CONCAT('obj', LPAD(seq % 1000 + 1, 19, '0')),
         IF(seq % 13 = 0, NULL, LPAD(HEX(seq % 4096), 12, 'a')),
         @base + INTERVAL (seq * 7) * 1000 MICROSECOND,
         (seq * 37) % 20000 - 10000, (seq * 53) % 20000 - 10000, IF(seq % 5 = 0, NULL, seq % 300),
         CONCAT('sub', LPAD(seq % 100 + 1, 19, '0')),
         IF(seq % 11 = 0, NULL, seq % 30000), IF(seq % 9 = 0, NULL, seq % 255),
         ELT(seq % 4 + 1, 'mode1', 'mode2', 'tdoa', NULL), seq % 2, IF(seq % 6 = 0, NULL, seq % 3 + 1),
         ELT(seq % 3 + 1, 'uwb', 'ble', NULL), IF(seq % 8 = 0, NULL, CONCAT('prj', LPAD(seq % 50 + 1, 19, '0'))),
         IF(seq % 10 = 0, NULL, seq % 2), IF(seq % 7 = 0, NULL, seq % 5 + 1)
  FROM (SELECT CAST(seq AS SIGNED) AS seq FROM seq_1_to_${LV_N_POSITIONS}) q;

INSERT INTO external_events (object_uid, object_name, mac_address, event_info, event_type, ts, area_uid,
                             project_uid, x, y, z, created_at)
  SELECT IF(seq % 9 = 0, NULL, CONCAT('obj', LPAD(seq % 1000 + 1, 19, '0'))),
         IF(seq % 6 = 0, NULL, CONCAT('Name ', seq, IF(seq % 4 = 0, ' d''Arc \\\\', ''))),
         IF(seq % 5 = 0, NULL, LPAD(HEX(seq), 12, '0')),
         IF(seq % 7 = 0, NULL, CONCAT('info ', seq, IF(seq % 3 = 0, ' it''s "x"\\tend', ''),
                                                    IF(seq % 11 = 0, '\\nsecond line \\\\\\'', ''))),
         ELT(seq % 3 + 1, 'button', 'fall', NULL),
         @base + INTERVAL (seq * 11) * 1000 MICROSECOND,
         IF(seq % 8 = 0, NULL, CONCAT('sub', LPAD(seq % 100 + 1, 19, '0'))),
         IF(seq % 10 = 0, NULL, CONCAT('prj', LPAD(seq % 50 + 1, 19, '0'))),
         seq % 1000 - 500, IF(seq % 4 = 0, NULL, -seq % 700), NULL,
         IF(seq % 3 = 0, NULL, @base + INTERVAL (seq * 11 + 5) * 1000 MICROSECOND)
  FROM (SELECT CAST(seq AS SIGNED) AS seq FROM seq_1_to_${LV_N_EXTERNAL_EVENTS}) q;

INSERT INTO zone_event_history (uid, obj_uid, sublocation_uid, created_at, duration, zone_uid, zone_type_name,
                                project_uid, x, y, z, related_event, \`action\`)
  SELECT CONCAT('zen', LPAD(seq, 19, '0')), CONCAT('obj', LPAD(seq % 1000 + 1, 19, '0')),
         IF(seq % 9 = 0, NULL, CONCAT('sub', LPAD(seq % 100 + 1, 19, '0'))),
         @base + INTERVAL (seq * 13) * 1000 MICROSECOND, NULL, CONCAT('zon', LPAD(seq % 200 + 1, 19, '0')),
         IF(seq % 4 = 0, NULL, CONCAT('type ', seq % 6)),
         IF(seq % 7 = 0, NULL, CONCAT('prj', LPAD(seq % 50 + 1, 19, '0'))),
         seq % 900 - 450, seq % 800, IF(seq % 3 = 0, NULL, seq % 10), NULL, 'enter'
  FROM (SELECT CAST(seq AS SIGNED) AS seq FROM seq_1_to_${LV_N_ZONE_EVENTS}) q;
INSERT INTO zone_event_history (uid, obj_uid, sublocation_uid, created_at, duration, zone_uid, zone_type_name,
                                project_uid, x, y, z, related_event, \`action\`)
  SELECT CONCAT('zlv', LPAD(seq, 19, '0')), CONCAT('obj', LPAD(seq % 1000 + 1, 19, '0')),
         IF(seq % 9 = 0, NULL, CONCAT('sub', LPAD(seq % 100 + 1, 19, '0'))),
         @base + INTERVAL (seq * 13 + 60000) * 1000 MICROSECOND, IF(seq % 5 = 0, NULL, 60 + seq % 100),
         CONCAT('zon', LPAD(seq % 200 + 1, 19, '0')),
         IF(seq % 4 = 0, NULL, CONCAT('type ', seq % 6)),
         IF(seq % 7 = 0, NULL, CONCAT('prj', LPAD(seq % 50 + 1, 19, '0'))),
         seq % 700 - 350, IF(seq % 6 = 0, NULL, seq % 600), seq % 10,
         CONCAT('zen', LPAD(seq, 19, '0')), 'leave'
  FROM (SELECT CAST(seq AS SIGNED) AS seq FROM seq_1_to_${LV_N_ZONE_EVENTS}) q;
INSERT INTO zone_event_history (uid, obj_uid, sublocation_uid, created_at, duration, zone_uid, zone_type_name,
                                project_uid, x, y, z, related_event, \`action\`)
  SELECT CONCAT('zop', LPAD(seq, 19, '0')), CONCAT('obj', LPAD(seq % 1000 + 1, 19, '0')),
         CONCAT('sub', LPAD(seq % 100 + 1, 19, '0')), @base + INTERVAL (seq * 17) * 1000 MICROSECOND, NULL,
         IF(seq % 3 = 0, NULL, CONCAT('zon', LPAD(seq % 200 + 1, 19, '0'))), 'open type',
         CONCAT('prj', LPAD(seq % 50 + 1, 19, '0')), seq % 100, seq % 200, NULL, NULL, 'enter'
  FROM (SELECT CAST(seq AS SIGNED) AS seq FROM seq_1_to_${LV_N_ZONE_EVENTS_OPEN}) q;

INSERT INTO activities (created_at, created_by, action, object, plist, project_uid, company_uid, on_behalf, ip)
  SELECT @base + INTERVAL (seq * 19) * 1000 MICROSECOND, CONCAT('user', seq % 40, IF(seq % 6 = 0, '''s admin', '')),
         ELT(seq % 4 + 1, 'create', 'update', 'delete', 'log''in'), CONCAT('object', seq % 25),
         IF(seq % 5 = 0, NULL, CONCAT('{"id": ', seq, ', "path": "C:\\\\\\\\tmp", "q": "a''b"}')),
         IF(seq % 7 = 0, NULL, CONCAT('prj', LPAD(seq % 50 + 1, 19, '0'))),
         IF(seq % 8 = 0, NULL, CONCAT('cmp', LPAD(seq % 20 + 1, 19, '0'))),
         IF(seq % 3 = 0, NULL, CONCAT('boss', seq % 4)), IF(seq % 2 = 0, NULL, CONCAT('10.0.', seq % 256, '.', seq % 200))
  FROM (SELECT CAST(seq AS SIGNED) AS seq FROM seq_1_to_${LV_N_ACTIVITIES}) q;

INSERT INTO vehicle_driver_associations (event_id, vehicle_uid, vehicle_mac, driver_uid, driver_mac, created_at,
            created_sublocation_uid, created_x, created_y, removed_at, removed_sublocation_uid, removed_x, removed_y,
            project_uid)
  SELECT IF(seq % 10 = 0, NULL, CONCAT('ev', seq % 100000, IF(seq % 9 = 0, '''', ''))),
         CONCAT('obj', LPAD(seq % 1000 + 1, 19, '0')), IF(seq % 4 = 0, NULL, LPAD(HEX(seq), 12, '0')),
         IF(seq % 11 = 0, NULL, CONCAT('obj', LPAD((seq * 7) % 1000 + 1, 19, '0'))), LPAD(HEX(seq * 3), 12, 'b'),
         IF(seq % 13 = 0, NULL, @base + INTERVAL (seq * 23) * 1000 MICROSECOND),
         CONCAT('sub', LPAD(seq % 100 + 1, 19, '0')), seq % 500, IF(seq % 3 = 0, NULL, -(seq % 400)),
         @base + INTERVAL (seq * 23 + 3600000) * 1000 MICROSECOND, IF(seq % 5 = 0, NULL, CONCAT('sub', LPAD(seq % 99 + 1, 19, '0'))),
         seq % 300, seq % 200, IF(seq % 6 = 0, NULL, CONCAT('prj', LPAD(seq % 50 + 1, 19, '0')))
  FROM (SELECT CAST(seq AS SIGNED) AS seq FROM seq_1_to_${LV_N_VDAS}) q;
INSERT INTO vehicle_driver_associations (event_id, vehicle_uid, vehicle_mac, driver_uid, driver_mac, created_at,
            created_sublocation_uid, created_x, created_y, removed_at, removed_sublocation_uid, removed_x, removed_y,
            project_uid)
  SELECT CONCAT('open', seq), CONCAT('obj', LPAD(seq % 1000 + 1, 19, '0')), LPAD(HEX(seq), 12, 'c'),
         CONCAT('obj', LPAD((seq * 3) % 1000 + 1, 19, '0')), NULL, @base + INTERVAL (seq * 29) * 1000 MICROSECOND,
         NULL, seq % 50, seq % 60, IF(seq % 2 = 0, NULL, NOW() + INTERVAL 10 YEAR), NULL, NULL, NULL,
         CONCAT('prj', LPAD(seq % 50 + 1, 19, '0'))
  FROM (SELECT CAST(seq AS SIGNED) AS seq FROM seq_1_to_${LV_N_VDAS_OPEN}) q;

INSERT INTO heartbeats (ts, is_announce, mac_address, trackable_uid, area_uid, company_uid, project_uid, x, y, z,
                        flags_raw, parent_mac_address, bridge_mac_address, reporting_frequency, ranging_frequency,
                        category, sw_version)
  SELECT IF(seq % 50 = 0, NULL, @base + INTERVAL (seq * 3) * 1000 MICROSECOND), IF(seq % 5 = 1, NULL, seq % 5 = 0),
         LPAD(HEX(seq), 12, '0'), IF(seq % 4 = 0, NULL, CONCAT('obj', LPAD(seq % 1000 + 1, 19, '0'))),
         CONCAT('sub', LPAD(seq % 100 + 1, 19, '0')), CONCAT('cmp', LPAD(seq % 20 + 1, 19, '0')),
         IF(seq % 9 = 0, NULL, CONCAT('prj', LPAD(seq % 50 + 1, 19, '0'))),
         seq % 100 - 50, seq % 90, IF(seq % 2 = 0, NULL, seq % 7),
         IF(seq % 7 = 0, NULL, LOWER(HEX(seq % 256))), IF(seq % 3 = 0, NULL, LPAD(HEX(seq % 77), 12, 'd')),
         IF(seq % 5 = 0, NULL, LPAD(HEX(seq % 33), 12, 'e')), IF(seq % 6 = 0, NULL, 1000 + seq % 9),
         IF(seq % 8 = 0, NULL, 100 + seq % 3), ELT(seq % 4 + 1, 'tag', 'anc', 'o''k', NULL),
         IF(seq % 10 = 0, NULL, CONCAT('v1.', seq % 100))
  FROM (SELECT CAST(seq AS SIGNED) AS seq FROM seq_1_to_${LV_N_HEARTBEATS}) q;

INSERT INTO node_parameters_staging (mac_address, obj_uid, param_name, param_value, ts)
  SELECT IF(seq % 8 = 0, NULL, LPAD(HEX(seq % 500), 12, 'f')),
         IF(seq % 3 = 0, NULL, CONCAT('obj', LPAD(seq % 1000 + 1, 19, '0'))), CONCAT('param_', seq),
         ELT(seq % 5 + 1, CONCAT('value ', seq), '', NULL, CONCAT('it''s \\\\ ', seq), CONCAT('line\\n', seq)),
         IF(seq % 20 = 0, NULL, @base + INTERVAL (seq * 31) * 1000 MICROSECOND)
  FROM (SELECT CAST(seq AS SIGNED) AS seq FROM seq_1_to_${LV_N_NODE_PARAMETERS}) q;
SQL
}

# Rows that test how a row is told apart at recovery, added by the crash soak after lv_generate:
# lookalikes, each equal to an earlier row of its kind in some of its columns (the same object and
# time with other coordinates, nested zones entered at one instant, the same action by another
# user, the same object and time with another event), drained later, so that a recovery comparing
# those columns alone would take a journalled batch starting with one of them for its twin's and
# drop it; and 4-byte characters (emoji), which a utf8mb3 session turns into "?".
lv_generate_lookalikes() {
  lv_sql "$LV_RT" <<'SQL' || lv_die "generating lookalike rows failed"
UPDATE trackable_objects SET name = CONCAT(name, ' 🚚') WHERE name IS NOT NULL AND RIGHT(uid, 1) IN ('3', '8');
INSERT INTO position_histories (trackable_id, obj_uid, mac_address, ts, x, y, z, sublocation_uid, fom, sfsn,
                                slvr_mode, edge_corr, pe_dims, type, project_uid, inactive, to_type_id)
  SELECT trackable_id, obj_uid, mac_address, ts, x + 1, y, z, sublocation_uid, fom, sfsn, 'twin 😀', edge_corr,
         pe_dims, type, project_uid, inactive, to_type_id
  FROM position_histories WHERE id % 10 = 0;
INSERT INTO external_events (object_uid, object_name, mac_address, event_info, event_type, ts, area_uid,
                             project_uid, x, y, z, created_at)
  SELECT object_uid, object_name, mac_address, CONCAT('twin 😀 ', COALESCE(event_info, '')), 'twin', ts, area_uid,
         project_uid, x, y, z, created_at
  FROM external_events WHERE id % 10 = 0;
INSERT INTO activities (created_at, created_by, action, object, plist, project_uid, company_uid, on_behalf, ip)
  SELECT created_at, 'another user 😀', action, object, plist, project_uid, company_uid, on_behalf, ip
  FROM activities WHERE id % 10 = 0;
INSERT INTO zone_event_history (uid, obj_uid, sublocation_uid, created_at, duration, zone_uid, zone_type_name,
                                project_uid, x, y, z, related_event, `action`)
  SELECT CONCAT('zni', SUBSTRING(uid, 4)), obj_uid, sublocation_uid, created_at, duration,
         CONCAT('out', SUBSTRING(COALESCE(zone_uid, 'zon0000000000000000000'), 4)), 'outer zone 😀', project_uid,
         x, y, z, NULL, 'enter'
  FROM zone_event_history WHERE uid LIKE 'zen%' AND id % 10 = 0;
INSERT INTO zone_event_history (uid, obj_uid, sublocation_uid, created_at, duration, zone_uid, zone_type_name,
                                project_uid, x, y, z, related_event, `action`)
  SELECT CONCAT('znl', SUBSTRING(l.uid, 4)), l.obj_uid, l.sublocation_uid, l.created_at, l.duration,
         CONCAT('out', SUBSTRING(COALESCE(l.zone_uid, 'zon0000000000000000000'), 4)), 'outer zone 😀', l.project_uid,
         l.x + 1, l.y, l.z, CONCAT('zni', SUBSTRING(l.related_event, 4)), 'leave'
  FROM zone_event_history l JOIN zone_event_history e ON e.uid = l.related_event
  WHERE e.uid LIKE 'zen%' AND e.id % 10 = 0;
SQL
}

# --- per-kind projections ------------------------------------------------------------------
# For each kind: the column-store table, its columns (":t" marks a time), and the runtime rows
# that must arrive there, selected with the column store's column names (the moved rows only).

lv_kind_table() {
  case $1 in
    positions) echo positions_raw ;;
    activities) echo sys_journal_staging ;;
    *) echo "$1" ;;
  esac
}

lv_kind_columns() {
  case $1 in
    positions) echo "trackable_id trackable_uid mac_address ts:t fom sfsn slvr_mode edge_corr pe_dims type x y z
                     area_uid project_uid inactive to_type_id" ;;
    external_events) echo "object_uid object_name mac_address event_info event_type ts:t area_uid area_name
                           project_uid project_name x y z created_at:t" ;;
    zone_events) echo "trackable_uid trackable_name area_uid area_name enter_time:t leave_time:t duration zone_uid
                       zone_name project_uid project_name leave_x leave_y leave_z enter_x enter_y enter_z
                       zone_type_name" ;;
    zone_events_open) echo "trackable_uid trackable_name area_uid area_name enter_time:t zone_uid zone_name
                            project_uid project_name enter_x enter_y enter_z zone_type_name" ;;
    activities) echo "id created_at:t created_by action object plist project_uid company_uid on_behalf ip
                      project_name company_name project_user_params" ;;
    vehicle_driver_associations) echo "id event_id vehicle_uid vehicle_mac vehicle_name driver_uid driver_mac
                                       driver_name created_at:t created_area_uid created_x created_y removed_at:t
                                       removed_area_uid removed_x removed_y project_uid" ;;
    vehicle_driver_associations_open) echo "id event_id vehicle_uid vehicle_mac vehicle_name driver_uid driver_mac
                                            driver_name created_at:t created_area_uid created_x created_y
                                            project_uid" ;;
    heartbeats) echo "id ts:t message_type mac_address trackable_uid area_uid company_uid project_uid x y z flags_raw
                      parent_mac_address bridge_mac_address reporting_frequency ranging_frequency category
                      sw_version" ;;
    node_parameters) echo "mac_address obj_uid param_name param_value ts:t" ;;
  esac
}

# Column names without the type marks, joined by ", ".
lv_column_list() {
  local c out=""
  for c in $(lv_kind_columns "$1"); do out="$out${out:+, }${c%:t}"; done
  echo "$out"
}

# Select list of the runtime rows of a kind, in the column store's column order.
lv_kind_select() {
  case $1 in
    positions) echo "p.trackable_id, p.obj_uid, p.mac_address, p.ts, p.fom, p.sfsn, p.slvr_mode, p.edge_corr,
                     p.pe_dims, p.type, p.x, p.y, p.z, p.sublocation_uid, p.project_uid, p.inactive, p.to_type_id" ;;
    external_events) echo "ee.object_uid, ee.object_name, ee.mac_address, ee.event_info, ee.event_type, ee.ts,
                           ee.area_uid, sl.name, ee.project_uid, tags.name, ee.x, ee.y, ee.z, ee.created_at" ;;
    zone_events) echo "ze2.obj_uid, COALESCE(tko.name, ' '), ze2.sublocation_uid, sl.name, ze1.created_at,
                       ze2.created_at, ze2.duration, ze2.zone_uid, zn.name, ze2.project_uid, tags.name, ze2.x, ze2.y,
                       ze2.z, ze1.x, ze1.y, ze1.z, ze2.zone_type_name" ;;
    zone_events_open) echo "ze.obj_uid, COALESCE(tko.name, ' '), ze.sublocation_uid, sl.name, ze.created_at,
                            ze.zone_uid, zn.name, ze.project_uid, tags.name, ze.x, ze.y, ze.z, ze.zone_type_name" ;;
    activities) echo "a.id, a.created_at, a.created_by, a.action, a.object, a.plist, a.project_uid, a.company_uid,
                      a.on_behalf, a.ip, p.name, c.name, p.user_params" ;;
    vehicle_driver_associations) echo "vda.id, vda.event_id, vda.vehicle_uid, vda.vehicle_mac, vehicle.name,
                      vda.driver_uid, vda.driver_mac, driver.name, vda.created_at, vda.created_sublocation_uid,
                      vda.created_x, vda.created_y, vda.removed_at, vda.removed_sublocation_uid, vda.removed_x,
                      vda.removed_y, vda.project_uid" ;;
    vehicle_driver_associations_open) echo "vda.id, vda.event_id, vda.vehicle_uid, vda.vehicle_mac, vehicle.name,
                      vda.driver_uid, vda.driver_mac, driver.name, vda.created_at, vda.created_sublocation_uid,
                      vda.created_x, vda.created_y, vda.project_uid" ;;
    heartbeats) echo "h.id, h.ts, CAST(IF(h.is_announce = 1, 271, 260) AS UNSIGNED),
                      h.mac_address, h.trackable_uid, h.area_uid, h.company_uid, h.project_uid, h.x, h.y, h.z,
                      CAST(CONV(h.flags_raw, 16, 10) AS UNSIGNED), h.parent_mac_address, h.bridge_mac_address,
                      h.reporting_frequency, h.ranging_frequency, h.category, h.sw_version" ;;
    node_parameters) echo "n.mac_address, n.obj_uid, n.param_name, n.param_value, n.ts" ;;
  esac
}

# FROM and WHERE of a kind's runtime rows; the main table's alias is the one the key uses.
lv_kind_from() {
  local r=\`$LV_RT\`
  case $1 in
    positions) echo "FROM $r.position_histories p WHERE p.trackable_id IS NOT NULL" ;;
    external_events) echo "FROM $r.external_events ee LEFT JOIN $r.tags ON ee.project_uid = tags.uid
                           LEFT JOIN $r.sublocations sl ON ee.area_uid = sl.uid WHERE 1" ;;
    zone_events) echo "FROM $r.zone_event_history ze2 JOIN $r.zone_event_history ze1 ON ze1.uid = ze2.related_event
                       LEFT JOIN $r.tags ON ze1.project_uid = tags.uid LEFT JOIN $r.sublocations sl
                       ON ze1.sublocation_uid = sl.uid LEFT JOIN $r.zones zn ON ze1.zone_uid = zn.uid
                       LEFT JOIN $r.trackable_objects tko ON ze1.obj_uid = tko.uid
                       WHERE ze2.related_event IS NOT NULL AND ze2.\`action\` = 'leave'" ;;
    zone_events_open) echo "FROM $r.zone_event_history ze LEFT JOIN $r.tags ON ze.project_uid = tags.uid
                       LEFT JOIN $r.sublocations sl ON ze.sublocation_uid = sl.uid LEFT JOIN $r.zones zn
                       ON ze.zone_uid = zn.uid LEFT JOIN $r.trackable_objects tko ON ze.obj_uid = tko.uid
                       WHERE ze.related_event IS NULL AND ze.\`action\` = 'enter'" ;;
    activities) echo "FROM $r.activities a LEFT JOIN $r.view_companies c ON c.uid = a.company_uid
                      LEFT JOIN $r.view_projects p ON p.uid = a.project_uid WHERE 1" ;;
    vehicle_driver_associations) echo "FROM $r.vehicle_driver_associations vda
                      LEFT JOIN $r.trackable_objects vehicle ON vda.vehicle_uid = vehicle.uid
                      LEFT JOIN $r.trackable_objects driver ON vda.driver_uid = driver.uid
                      WHERE vda.removed_at IS NOT NULL AND vda.removed_at < NOW()" ;;
    vehicle_driver_associations_open) echo "FROM $r.vehicle_driver_associations vda
                      LEFT JOIN $r.trackable_objects vehicle ON vda.vehicle_uid = vehicle.uid
                      LEFT JOIN $r.trackable_objects driver ON vda.driver_uid = driver.uid
                      WHERE vda.removed_at IS NULL OR vda.removed_at > NOW()" ;;
    heartbeats) echo "FROM $r.heartbeats h WHERE 1" ;;
    node_parameters) echo "FROM $r.node_parameters_staging n WHERE 1" ;;
  esac
}

# The id column by which a kind's batch is deleted, and its runtime table.
lv_kind_key() {
  case $1 in
    positions) echo p.id ;;
    external_events) echo ee.id ;;
    zone_events) echo ze2.id ;;
    activities) echo a.id ;;
    vehicle_driver_associations) echo vda.id ;;
    heartbeats) echo h.id ;;
    node_parameters) echo n.id ;;
  esac
}

lv_kind_runtime_table() {
  case $1 in
    positions) echo position_histories ;;
    zone_events) echo zone_event_history ;;
    node_parameters) echo node_parameters_staging ;;
    *) echo "$1" ;;
  esac
}

# One row's fingerprint over the given columns (of a table or a derived table "s").
lv_fingerprint() {
  local c out=""
  for c in $(lv_kind_columns "$1"); do
    if [ "${c%:t}" != "$c" ]; then
      out="$out${out:+, }COALESCE(DATE_FORMAT(s.${c%:t}, '%Y-%m-%d %H:%i:%s.%f'), '<null>')"
    else
      out="$out${out:+, }COALESCE(CONVERT(s.$c USING utf8mb4), '<null>')"
    fi
  done
  echo "MD5(CONCAT_WS(CHAR(31 USING utf8mb4), $out))"
}

# "count distinct-count hash-sum" of a row source given as a derived table.
lv_checksum_of() {
  local kind=$1 source=$2
  lv_sql "" "SELECT COUNT(*), COUNT(DISTINCT h), COALESCE(SUM(CAST(CONV(LEFT(h, 15), 16, 10) AS UNSIGNED)), 0)
             FROM (SELECT $(lv_fingerprint "$kind") AS h FROM ($source) s) x" | tr '\t' ' '
}

# Checksum of the runtime rows of a kind (what must arrive) and of its column-store table.
lv_checksum_expected() {
  local kind=$1
  lv_checksum_of "$kind" "SELECT $(lv_alias_select "$kind") $(lv_kind_from "$kind")"
}
lv_checksum_store() {
  lv_checksum_of "$1" "SELECT $(lv_column_list "$1") FROM \`$LV_CS\`.$(lv_kind_table "$1")"
}

# The runtime select list with the column store's names as aliases.
lv_alias_select() {
  local kind=$1
  local -a exprs names
  local e out="" i=0
  # Split the select list at top-level commas.
  mapfile -t exprs < <(lv_kind_select "$kind" | tr '\n' ' ' | awk '{
      depth = 0; cur = ""
      for (i = 1; i <= length($0); i++) {
        ch = substr($0, i, 1)
        if (ch == "(") depth++
        if (ch == ")") depth--
        if (ch == "," && depth == 0) { print cur; cur = ""; continue }
        cur = cur ch
      }
      print cur }')
  read -r -a names <<<"$(lv_column_list "$kind" | tr -d ',')"
  [ "${#exprs[@]}" -eq "${#names[@]}" ] || lv_die "select list of $kind has ${#exprs[@]} values for ${#names[@]} columns"
  for e in "${exprs[@]}"; do
    out="$out${out:+, }$e AS ${names[$i]}"
    i=$((i + 1))
  done
  echo "$out"
}

# Rows of the moved kinds still waiting in the runtime database.
lv_runtime_left() {
  lv_sql "" "SELECT COUNT(*) $(lv_kind_from "$1")"
}

# --- the server-side limit -----------------------------------------------------------------
# One procedure per moved kind, in the runtime database: SELECT a batch of ids, INSERT ... SELECT
# those rows into the column store, DELETE them by id, each statement committing on its own as
# the daemon's do. The ids are written into the two statements as a literal list (as the daemon
# writes its DELETE), which keeps both on primary-key lookups.
lv_sql_string() { local t=$1; t=${t//\\/\\\\}; t=${t//\'/\'\'}; printf "'%s'" "$t"; }

lv_create_procedures() {
  local kind sql="" key second table insert delete
  for kind in $LV_MOVED_KINDS; do
    key=$(lv_kind_key "$kind")
    table=$(lv_kind_runtime_table "$kind")
    # A closed zone event is two rows: the leave row and the enter row it refers to.
    second=NULL
    [ "$kind" != zone_events ] || second=ze1.id
    insert="INSERT INTO \`$LV_CS\`.$(lv_kind_table "$kind") ($(lv_column_list "$kind"))
              SELECT $(lv_kind_select "$kind") $(lv_kind_from "$kind") AND $key IN ("
    delete="DELETE FROM \`$LV_RT\`.$table WHERE id IN ("
    sql="$sql
DROP PROCEDURE IF EXISTS bench_move_$kind;
DELIMITER //
CREATE PROCEDURE bench_move_$kind(IN piece INT)
BEGIN
  DECLARE ids, more_ids LONGTEXT;
  SET SESSION group_concat_max_len = 1024 * 1024 * 64;
  moving: LOOP
    SELECT GROUP_CONCAT(k1), GROUP_CONCAT(k2) INTO ids, more_ids
      FROM (SELECT $key AS k1, $second AS k2 $(lv_kind_from "$kind") LIMIT piece) batch;
    IF ids IS NULL THEN
      LEAVE moving;
    END IF;
    EXECUTE IMMEDIATE CONCAT($(lv_sql_string "$insert"), ids, ')');
    EXECUTE IMMEDIATE CONCAT($(lv_sql_string "$delete"), ids, IF(more_ids IS NULL, '', CONCAT(',', more_ids)), ')');
  END LOOP;
END //
DELIMITER ;"
  done
  printf '%s\n' "$sql" | lv_sql "$LV_RT" || lv_die "creating the procedures failed"
}

# Lets the server finish flushing the freshly generated data and purging old row versions, so
# that every contender starts on a quiet server.
lv_settle() {
  lv_sql "" "SET GLOBAL innodb_max_dirty_pages_pct = 0"
  local dirty history
  for _ in $(seq 1 600); do
    dirty=$(lv_sql "" "SELECT VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS
                       WHERE VARIABLE_NAME = 'INNODB_BUFFER_POOL_PAGES_DIRTY'")
    history=$(lv_sql "" "SELECT COUNT FROM information_schema.INNODB_METRICS WHERE NAME = 'trx_rseg_history_len'")
    [ "${dirty:-0}" -gt 100 ] || [ "${history:-0}" -gt 1000 ] || break
    sleep 0.1
  done
  lv_sql "" "SET GLOBAL innodb_max_dirty_pages_pct = 90"
}

# Writes the daemon's configuration file $1; $2 journal directory, $3 pid file, $4 log endpoint,
# $5 batch size, $6 timer.
lv_write_config() {
  cat >"$1" <<JSON
{
  "system": {
    "persistent_data_dir": "$2/",
    "pidfile": "$3",
    "timer": $6,
    "maximum_piece": $5,
    "activities_maximum_piece": $5,
    "debug_port": "$4",
    "local_debug": false
  },
  "prod": { "host": "$LV_HOST", "port": $LV_PORT, "user": "$LV_USER", "password": "$LV_PASSWORD", "database": "$LV_RT" },
  "dw": { "host": "$LV_HOST", "port": $LV_PORT, "user": "$LV_USER", "password": "$LV_PASSWORD", "database": "$LV_CS" }
}
JSON
}

# Peak resident memory (VmHWM, KiB) of process $1.
lv_peak_rss_kib() { awk '/^VmHWM:/ { print $2 }' "/proc/$1/status" 2>/dev/null || echo 0; }
