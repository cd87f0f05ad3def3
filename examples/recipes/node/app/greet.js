'use strict';

exports.greet = (name) => `Hello from ${name}`;
