// Validates CycloneDX 1.5 JSON files against CycloneDX's own JSON schema (the copy that the
// @cyclonedx/cyclonedx-library package carries) and prints each file's components, one a line:
// type, name, version, then the licence or the SHA-256, separated by tabs.
//   node sbom.cjs <node_modules folder> <bom.json>...
const fs = require('fs');
const path = require('path');
const modules = path.resolve(process.argv[2]);
const schemas = path.join(modules, '@cyclonedx/cyclonedx-library/res/schema');
const Ajv = require(path.join(modules, 'ajv'));
const ajv = new Ajv({ strict: false, allErrors: true });
require(path.join(modules, 'ajv-formats'))(ajv);
require(path.join(modules, 'ajv-formats-draft2019'))(ajv);
// The schemas name each other by their file names.
const load = (name) => {
  const schema = JSON.parse(fs.readFileSync(path.join(schemas, name), 'utf8'));
  return { ...schema, $id: `http://cyclonedx.org/schema/${name}` };
};
ajv.addSchema(load('spdx.SNAPSHOT.schema.json'));
ajv.addSchema(load('jsf-0.82.SNAPSHOT.schema.json'));
const validate = ajv.compile(load('bom-1.5.SNAPSHOT.schema.json'));
let failed = false;
for (const file of process.argv.slice(3)) {
  const bom = JSON.parse(fs.readFileSync(file, 'utf8'));
  if (!validate(bom) || bom.specVersion !== '1.5') {
    failed = true;
    console.error(`${file}: not CycloneDX 1.5: ${ajv.errorsText(validate.errors)}`);
    continue;
  }
  for (const c of bom.components) {
    const licence = (c.licenses || []).map((l) => l.expression || l.license.id || l.license.name).join(' ');
    const hash = (c.hashes || []).filter((h) => h.alg === 'SHA-256').map((h) => h.content).join(' ');
    console.log([c.type, c.name, c.version, licence || hash].join('\t'));
  }
}
process.exit(failed ? 1 : 0);
