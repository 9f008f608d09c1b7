// Script objects of the page's controls: a small registry that InitIWCLObjects() of a
// page may fill, emptied when the page unloads.
"use strict";

var IWCL = {
  DesignWidth: 0,
  DesignHeight: 0,
  Objects: {},
  Register: function (name, object) {
    this.Objects[name] = object;
  },
  Find: function (name) {
    return Object.prototype.hasOwnProperty.call(this.Objects, name) ? this.Objects[name] : null;
  },
  Reset: function () {
    this.Objects = {};
  }
};
