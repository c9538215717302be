// Validates OpenAPI 3.0 documents: node validate.mjs FILE...
// Each file must be an OpenAPI 3.0.3 document that passes swagger-parser's validation (the
// OpenAPI 3.0 JSON schema, and every $ref resolving), and the rules of the OpenAPI text that
// swagger-parser checks only for Swagger 2.0 documents (checkRules below). Prints one line per
// file; exits 1 when any file fails, 2 on a wrong command line.
import { readFile } from "node:fs/promises";
import SwaggerParser from "@apidevtools/swagger-parser";

const methods = ["get", "put", "post", "delete", "options", "head", "patch", "trace"];

// Every schema object of the document, with its JSON path.
function* schemasOf(node, path) {
  if (node === null || typeof node !== "object") return;
  if (Array.isArray(node)) {
    for (const [i, item] of node.entries()) yield* schemasOf(item, `${path}/${i}`);
    return;
  }
  for (const [key, value] of Object.entries(node)) {
    const at = `${path}/${key}`;
    if (key === "schema" || key === "items" || key === "additionalProperties") {
      if (value !== null && typeof value === "object") yield [value, at];
    }
    if (key === "properties" || key === "schemas") {
      for (const [name, schema] of Object.entries(value ?? {})) yield [schema, `${at}/${name}`];
    }
    yield* schemasOf(value, at);
  }
}

// Unique operationIds; each operation's path parameters exactly the names of its path template,
// required; no parameter twice; no two templates equal but for their parameter names; arrays
// with items; required properties that exist.
function checkRules(document) {
  const problems = [];
  const operationIds = new Map();
  const shapes = new Map();
  for (const [path, item] of Object.entries(document.paths ?? {})) {
    const names = [...path.matchAll(/\{([^}]*)\}/g)].map((m) => m[1]);
    const shape = path.replace(/\{[^}]*\}/g, "{}");
    if (shapes.has(shape)) problems.push(`paths ${shapes.get(shape)} and ${path} are equivalent`);
    shapes.set(shape, path);
    if (new Set(names).size !== names.length) problems.push(`${path}: a parameter name repeats`);
    const operations = methods.filter((m) => item[m]).map((m) => [m, item[m]]);
    for (const [name, operation] of Object.entries(item["x-tpk-methods"] ?? {})) {
      operations.push([`x-tpk-methods ${name}`, operation]);
    }
    for (const [method, operation] of operations) {
      const at = `${method} ${path}`;
      if (operation.operationId !== undefined) {
        if (operationIds.has(operation.operationId)) {
          problems.push(`${at}: operationId ${operation.operationId} is also ` +
                        `${operationIds.get(operation.operationId)}'s`);
        }
        operationIds.set(operation.operationId, at);
      }
      const parameters = [...(item.parameters ?? []), ...(operation.parameters ?? [])];
      const seen = new Set();
      for (const parameter of parameters) {
        const key = `${parameter.in} ${parameter.name}`;
        if (seen.has(key)) problems.push(`${at}: parameter ${key} is listed twice`);
        seen.add(key);
        if (parameter.in === "path" && !names.includes(parameter.name)) {
          problems.push(`${at}: path parameter ${parameter.name} is not in the template`);
        }
        if (parameter.in === "path" && parameter.required !== true) {
          problems.push(`${at}: path parameter ${parameter.name} is not required`);
        }
      }
      for (const name of names) {
        if (!seen.has(`path ${name}`)) problems.push(`${at}: path parameter ${name} is not listed`);
      }
    }
  }
  for (const [schema, at] of schemasOf(document, "#")) {
    if (schema.type === "array" && schema.items === undefined) problems.push(`${at}: no items`);
    for (const name of schema.required ?? []) {
      if (schema.properties?.[name] === undefined) {
        problems.push(`${at}: required property ${name} is not defined`);
      }
    }
  }
  return problems;
}

const files = process.argv.slice(2);
if (files.length === 0) {
  console.error("usage: node validate.mjs FILE...");
  process.exit(2);
}

let failed = 0;
for (const file of files) {
  try {
    const document = JSON.parse(await readFile(file, "utf8"));
    if (document.openapi !== "3.0.3") {
      throw new Error(`"openapi" is ${JSON.stringify(document.openapi)}, not "3.0.3"`);
    }
    // validate() dereferences in place: it gets its own copy.
    await SwaggerParser.validate(structuredClone(document));
    const problems = checkRules(document);
    if (problems.length > 0) throw new Error(problems.join("\n  "));
    const operations = Object.values(document.paths).reduce(
        (count, item) => count + methods.filter((m) => item[m]).length, 0);
    console.log(`${file}: valid, ${operations} operations`);
  } catch (error) {
    failed += 1;
    console.error(`${file}: INVALID: ${error.message}`);
  }
}
process.exit(failed === 0 ? 0 : 1);
