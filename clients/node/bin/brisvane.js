#!/usr/bin/env node
'use strict';
require('../lib/cli').main(process.argv.slice(2)).then((status) => {
  process.exitCode = status;
});
