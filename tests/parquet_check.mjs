// Reads the Parquet samples of tests/parquet_samples.py with two readers independent of corvane's writer:
// hyparquet (JavaScript) and DuckDB. For each table of expected.json: the row count, every column's name,
// order, type and values, and its chunks' statistics (min, max, null count) must read back as expected. For
// each video of videos.json: frame j of the file (ffprobe's times) shows at its j-th row's time, the row's
// timestamp + its episode's from_timestamp as DuckDB reads them, within the 1e-4 s LeRobot's loader allows.
//   node parquet_check.mjs <folder>   (run from a folder whose node_modules holds both)
import { readFile } from "node:fs/promises";
import { asyncBufferFromFile, parquetMetadataAsync, parquetReadObjects } from "hyparquet";
import { compressors } from "hyparquet-compressors";
import { DuckDBInstance } from "@duckdb/node-api";

const folder = process.argv[2];
const tables = JSON.parse(await readFile(`${folder}/expected.json`, "utf8"));
let failures = 0;
const fail = (what) => {
  console.error(`parquet-check: ${what}`);
  failures += 1;
};

// One form for both readers and the expectations: int64 as decimal strings, non-finite floats as names.
const normal = (value) => {
  if (value === null || value === undefined) return null;
  if (typeof value === "bigint") return value.toString();
  if (typeof value === "number") return Number.isFinite(value) ? value : String(value);
  if (Array.isArray(value)) return value.map(normal);
  if (value && typeof value === "object" && "items" in value) return value.items.map(normal); // DuckDB lists
  return value;
};
const less = (type, a, b) => (type.startsWith("VARCHAR") ? a < b : Number(a) < Number(b));
const same = (a, b) => JSON.stringify(a) === JSON.stringify(b);
const firstDifference = (got, want) => {
  const i = want.findIndex((w, k) => !same(got[k], w));
  return i < 0 ? `${got.length} values instead of ${want.length}` : `row ${i}: ${JSON.stringify(got[i])} instead of ${JSON.stringify(want[i])}`;
};

async function checkHyparquet(table) {
  const values = Object.fromEntries(table.columns.map((c) => [c.name, []]));
  const stats = Object.fromEntries(table.columns.map((c) => [c.name, { min: null, max: null, nulls: 0n }]));
  let rows = 0;
  for (const path of table.files) {
    const file = await asyncBufferFromFile(path);
    const metadata = await parquetMetadataAsync(file);
    rows += Number(metadata.num_rows);
    const names = metadata.schema.filter((e, i) => i > 0 && e.name !== "list" && e.name !== "element").map((e) => e.name);
    if (!same(names, table.columns.map((c) => c.name))) fail(`${table.name}: hyparquet: columns ${names}`);
    for (const group of metadata.row_groups) {
      group.columns.forEach((chunk, i) => {
        const s = chunk.meta_data.statistics;
        const { name, type } = table.columns[i];
        const entry = stats[name];
        entry.nulls += s.null_count;
        if (s.min_value !== undefined) {
          const [low, high] = [normal(s.min_value), normal(s.max_value)];
          if (entry.min === null || less(type, low, entry.min)) entry.min = low;
          if (entry.max === null || less(type, entry.max, high)) entry.max = high;
        }
      });
    }
    for (const row of await parquetReadObjects({ file, compressors })) {
      for (const c of table.columns) values[c.name].push(normal(row[c.name]));
    }
  }
  if (rows !== table.rows) fail(`${table.name}: hyparquet: ${rows} rows instead of ${table.rows}`);
  for (const c of table.columns) {
    if (!same(values[c.name], c.values)) fail(`${table.name}: hyparquet: ${c.name}: ${firstDifference(values[c.name], c.values)}`);
    const s = stats[c.name];
    if (Number(s.nulls) !== c.nulls || !same(s.min, c.min) || !same(s.max, c.max)) {
      fail(`${table.name}: ${c.name}: statistics min ${s.min} max ${s.max} nulls ${s.nulls}, not ${c.min} ${c.max} ${c.nulls}`);
    }
  }
}

async function checkDuckDB(connection, table) {
  const files = `[${table.files.map((f) => `'${f}'`).join(", ")}]`;
  const described = (await connection.runAndReadAll(`DESCRIBE SELECT * FROM read_parquet(${files})`)).getRowObjectsJS();
  const types = described.map((d) => `${d.column_name} ${d.column_type}`);
  const wanted = table.columns.map((c) => `${c.name} ${c.type}`);
  if (!same(types, wanted)) fail(`${table.name}: DuckDB: types ${types} instead of ${wanted}`);
  // Files in the given order, rows in file order.
  const result = await connection.runAndReadAll(
    `SELECT * FROM read_parquet(${files}, filename = true, file_row_number = true) ORDER BY list_position(${files}, filename), file_row_number`);
  const rows = result.getRowObjectsJS();
  if (rows.length !== table.rows) fail(`${table.name}: DuckDB: ${rows.length} rows instead of ${table.rows}`);
  for (const c of table.columns) {
    const got = rows.map((r) => normal(r[c.name]));
    if (!same(got, c.values)) fail(`${table.name}: DuckDB: ${c.name}: ${firstDifference(got, c.values)}`);
  }
  const nulls = (await connection.runAndReadAll(
    `SELECT path_in_schema, sum(stats_null_count)::BIGINT AS nulls FROM parquet_metadata(${files}) GROUP BY path_in_schema`)).getRowObjectsJS();
  for (const c of table.columns) {
    const entry = nulls.find((n) => n.path_in_schema === c.name || n.path_in_schema.startsWith(`${c.name}, `));
    if (!entry || Number(entry.nulls) !== c.nulls) fail(`${table.name}: DuckDB: ${c.name}: null count ${entry && entry.nulls}`);
  }
}

const instance = await DuckDBInstance.create(":memory:");
const connection = await instance.connect();
for (const table of tables) {
  await checkHyparquet(table);
  await checkDuckDB(connection, table);
  console.log(`parquet-check: ${table.name}: ${table.rows} rows, ${table.columns.length} columns in ${table.files.length} file(s), read back by hyparquet and DuckDB`);
}
const list = (files) => `[${files.map((f) => `'${f}'`).join(", ")}]`;
for (const video of JSON.parse(await readFile(`${folder}/videos.json`, "utf8"))) {
  const column = (name) => `e."videos/${video.key}/${name}"`;
  const rows = (await connection.runAndReadAll(
    `SELECT d.timestamp + ${column("from_timestamp")} AS time FROM read_parquet(${list(video.data)}) d
     JOIN read_parquet(${list(video.episodes)}) e USING (episode_index)
     WHERE ${column("chunk_index")} = 0 AND ${column("file_index")} = 0
     ORDER BY ${column("from_timestamp")}, d.frame_index`)).getRowObjectsJS();
  const j = rows.findIndex((r, k) => !(Math.abs(r.time - video.times[k]) < 1e-4));
  if (rows.length !== video.times.length || j >= 0) {
    fail(`${video.file}: ${video.times.length} frames for ${rows.length} rows; row ${j} at ${rows[j] && rows[j].time}, its frame at ${video.times[j]}`);
  } else {
    console.log(`parquet-check: ${video.file}: ${rows.length} frames at their rows' times`);
  }
}
if (failures > 0) {
  console.error(`parquet-check: ${failures} failures`);
  process.exit(1);
}
